#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>

namespace emu {

// The one clock every deadline, wire-pacing step and transcript stamp is taken from, so that
// they can be compared with each other.
using emulator_clock = std::chrono::steady_clock;

// One line per frame, written straight to the file so that a run ended by a
// signal still leaves a complete record.
class transcript_log {
public:
    explicit transcript_log(emulator_clock::time_point start) : start_(start) { }
    ~transcript_log();
    transcript_log(const transcript_log&) = delete;
    transcript_log& operator=(const transcript_log&) = delete;

    bool open(const std::string& path, std::string& error);

    void host(const std::uint8_t* data, std::size_t size, const std::string& what);
    void device(const std::uint8_t* data, std::size_t size, const std::string& what);
    void note(const std::string& what);
    bool failed() const { return failed_; }

private:
    void line(const char* tag, const std::string& body);

    emulator_clock::time_point start_;
    int fd_ = -1;
    bool failed_ = false;
};

std::string hex_bytes(const std::uint8_t* data, std::size_t size);
std::string hex2(unsigned value);
std::string hex4(unsigned value);

} // namespace emu
