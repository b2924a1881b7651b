#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <optional>

#include "serial/transfer_deadline.h"

namespace {

using std::chrono::milliseconds;
using time_point = transfer_clock::time_point;

comm_timeouts profile(std::uint32_t value) { return {value, value, value, value, value}; }

constexpr time_point at(std::int64_t ms) { return time_point{} + milliseconds(ms); }

TEST(TransferDeadline, Table)
{
    constexpr std::uint32_t all_ones = 0xFFFFFFFF;
    const time_point end = time_point::max();
    struct row {
        const char* what;
        comm_timeouts timeouts;
        transfer_direction direction;
        std::uint32_t count;
        time_point start;
        std::optional<time_point> last_byte;
        time_point expected;
    };
    const row rows[] = {
        {"reply read, nothing yet: 8 x 1000 + 1000", profile(1000), transfer_direction::read, 8, at(5), std::nullopt,
            at(9005)},
        {"reply read under the erase profile", profile(10000), transfer_direction::read, 8, at(0), std::nullopt,
            at(90000)},
        {"a byte early: the interval after it ends the read", profile(1000), transfer_direction::read, 8, at(0),
            at(500), at(1500)},
        {"a byte late: the total limit still holds", profile(1000), transfer_direction::read, 8, at(0), at(8600),
            at(9000)},
        {"a byte exactly one interval before the total", profile(1000), transfer_direction::read, 8, at(0), at(8000),
            at(9000)},
        {"erase profile: a gap of 1.5 s does not end the read", profile(10000), transfer_direction::read, 8, at(0),
            at(100), at(10100)},
        {"interval 0 means no interval limit", {0, 1000, 1000, 0, 0}, transfer_direction::read, 8, at(0), at(10),
            at(9000)},
        {"zero-length read: the constant alone", profile(1000), transfer_direction::read, 0, at(7), std::nullopt,
            at(1007)},
        {"zero-length write: the constant alone", profile(1000), transfer_direction::write, 0, at(7), std::nullopt,
            at(1007)},
        {"page write: 4096 x 1000 + 1000", profile(1000), transfer_direction::write, 4096, at(0), std::nullopt,
            at(4097000)},
        {"write ignores the read fields and any byte", {1, 1, 1, 2, 3}, transfer_direction::write, 10, at(0), at(0),
            at(23)},
        {"largest fields saturate instead of wrapping", profile(all_ones), transfer_direction::read, all_ones, at(0),
            std::nullopt, end},
        {"start at the clock's end", profile(1000), transfer_direction::write, 8, end, std::nullopt, end},
        {"start just short of the clock's end", profile(1000), transfer_direction::read, 8, end - milliseconds(10),
            std::nullopt, end},
        {"last byte at the clock's end", profile(1000), transfer_direction::read, 8, end - milliseconds(5000), end,
            end},
        {"a start before the clock's zero", profile(1000), transfer_direction::read, 8, at(-20000), at(-19900),
            at(-18900)},
    };
    for (const auto& r : rows) {
        const time_point got = transfer_deadline(r.timeouts, r.direction, r.count, r.start, r.last_byte);
        EXPECT_EQ(got, r.expected) << r.what << ": " << std::chrono::floor<milliseconds>(got.time_since_epoch()).count()
                                   << " ms";
    }
}

} // namespace
