#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "common/phase_result.h"
#include "common/refusal.h"

// The one value a profile puts into all five timeout fields, in milliseconds.
enum class timeout_profile : std::uint32_t {
    normal = 1000,
    // The loader reports the end of a flash erase only when it is done, which takes tens of seconds.
    erase = 10000,
};

constexpr std::uint32_t profile_ms(timeout_profile profile) { return static_cast<std::uint32_t>(profile); }

// The five timeout fields as a profile sets them, in either build's record of them (the Windows
// COMMTIMEOUTS, or the same fields kept under their Windows names).
template <typename timeouts>
constexpr timeouts timeouts_for(timeout_profile profile)
{
    const std::uint32_t value = profile_ms(profile);
    timeouts fields{};
    fields.ReadIntervalTimeout = value;
    fields.ReadTotalTimeoutMultiplier = value;
    fields.ReadTotalTimeoutConstant = value;
    fields.WriteTotalTimeoutMultiplier = value;
    fields.WriteTotalTimeoutConstant = value;
    return fields;
}

// Every reply of the device is one frame of this many bytes.
constexpr std::uint32_t REPLY_READ_SIZE = 8;

// The port the device hangs on. Everything above this interface is portable; each platform
// supplies one implementation, and the tests supply an in-memory one.
class serial_port {
public:
    virtual ~serial_port() = default;

    // Opens COM port `num_comport` (1 to 255) for exclusive use. Writes nothing to the console.
    virtual phase_result open_comport(int num_comport) = 0;
    // Each refusal below is about the device the port was opened as.
    // After a failed open_comport: why, where the platform tells; nothing refused otherwise.
    virtual refusal why_not_opened() const { return {}; }
    // Once the port is open, just before the first byte is sent: why it is no longer this
    // program's alone, where the platform can tell that another program has opened it since;
    // nothing refused while nobody has.
    virtual refusal line_taken_meanwhile() const { return {}; }
    // After a step of the exchange failed: why, where the platform saw another program open the
    // line during the update (from then on nothing more is sent or read, so that the step fails
    // at once); nothing refused while nobody has.
    virtual refusal line_taken_during_update() const { return {}; }
    // Normal timeout profile, then 115200 baud 8N1; everything else as the port reports it.
    virtual void setup_comport() = 0;
    virtual void set_timeouts(timeout_profile profile) = 0;
    // Sends the whole block; bytes_written tells how much went out.
    virtual void send_block(const unsigned char* data, std::uint32_t length) = 0;
    // Reads one reply (REPLY_READ_SIZE bytes) into the start of `dest` within the current profile's limits and
    // returns how many bytes arrived (0 to REPLY_READ_SIZE). Bytes past the count are left untouched.
    virtual std::uint32_t read_reply(unsigned char* dest) = 0;

    std::uint32_t bytes_written = 0;
    std::uint32_t bytes_read = 0;
};

// The implementation for the platform this program was built for.
std::unique_ptr<serial_port> make_platform_port();
