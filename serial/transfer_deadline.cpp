#include "serial/transfer_deadline.h"

namespace {

using std::chrono::milliseconds;

// `from` + `ms`, or the clock's last instant when that lies beyond it. The fields allow limits
// of millions of years, far past what the clock's nanoseconds can count.
transfer_clock::time_point add_saturating(transfer_clock::time_point from, std::uint64_t ms)
{
    constexpr auto most_ms = std::chrono::floor<milliseconds>(transfer_clock::duration::max()).count();
    if (ms > static_cast<std::uint64_t>(most_ms)) {
        return transfer_clock::time_point::max();
    }
    const auto wait =
        std::chrono::duration_cast<transfer_clock::duration>(milliseconds(static_cast<milliseconds::rep>(ms)));
    // Compared on the side that cannot overflow, whatever the sign of `from`.
    if (from > transfer_clock::time_point::max() - wait) {
        return transfer_clock::time_point::max();
    }
    return from + wait;
}

} // namespace

transfer_clock::time_point transfer_deadline(const comm_timeouts& timeouts, transfer_direction direction,
    std::uint32_t count, transfer_clock::time_point start, std::optional<transfer_clock::time_point> last_byte)
{
    // Both factors are 32-bit, so the product and the constant together stay within 64 bits.
    if (direction == transfer_direction::write) {
        return add_saturating(
            start, std::uint64_t{count} * timeouts.WriteTotalTimeoutMultiplier + timeouts.WriteTotalTimeoutConstant);
    }
    const auto total = add_saturating(
        start, std::uint64_t{count} * timeouts.ReadTotalTimeoutMultiplier + timeouts.ReadTotalTimeoutConstant);
    if (!last_byte || timeouts.ReadIntervalTimeout == 0) {
        return total;
    }
    const auto after_gap = add_saturating(*last_byte, timeouts.ReadIntervalTimeout);
    return after_gap < total ? after_gap : total;
}
