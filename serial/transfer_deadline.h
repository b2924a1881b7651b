#pragma once

#include <chrono>
#include <cstdint>
#include <optional>

// The five timeout fields, kept under their Windows names so that both builds read alike.
struct comm_timeouts {
    std::uint32_t ReadIntervalTimeout = 0;
    std::uint32_t ReadTotalTimeoutMultiplier = 0;
    std::uint32_t ReadTotalTimeoutConstant = 0;
    std::uint32_t WriteTotalTimeoutMultiplier = 0;
    std::uint32_t WriteTotalTimeoutConstant = 0;
};

enum class transfer_direction { read, write };

using transfer_clock = std::chrono::steady_clock;

// When a transfer of `count` bytes that began at `start` must end, as the timeout fields define
// it. A read ends count × ReadTotalTimeoutMultiplier + ReadTotalTimeoutConstant ms after its
// start, and earlier once a byte has arrived (`last_byte` set): ReadIntervalTimeout ms after
// that byte, unless the interval is 0, which means no interval limit. A write ends
// count × WriteTotalTimeoutMultiplier + WriteTotalTimeoutConstant ms after its start. A limit
// beyond the clock's range is the clock's last instant, never a wrapped-around early one.
transfer_clock::time_point transfer_deadline(const comm_timeouts& timeouts, transfer_direction direction,
    std::uint32_t count, transfer_clock::time_point start, std::optional<transfer_clock::time_point> last_byte);
