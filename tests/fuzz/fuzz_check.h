#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

// Set by the replay runner, so that a failure in a CTest log names the corpus file to look at.
inline const char* fuzz_current_input = nullptr;

// A property violation must stop the run the way a sanitizer report does: libFuzzer keeps the
// input as a crash file on an abort. The replay runner exits with status 1 instead, and names the
// corpus file in the CTest log.
[[noreturn]] inline void fuzz_fail(const char* file, int line, const char* condition, const char* why)
{
    std::fprintf(stderr, "\n%s:%d: property violated: %s\n  %s\n", file, line, why, condition);
    std::fflush(stderr);
    if (fuzz_current_input != nullptr) {
        std::fprintf(stderr, "  input: %s\n", fuzz_current_input);
        std::fflush(stderr);
        std::exit(EXIT_FAILURE);
    }
    std::abort();
}

#define FUZZ_CHECK(condition, why) ((condition) ? static_cast<void>(0) : fuzz_fail(__FILE__, __LINE__, #condition, why))

// The fuzzer's bytes, taken from the front; past the end every read is 0 and `exhausted` says so.
class fuzz_input {
public:
    fuzz_input(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) { }

    bool exhausted() const { return at_ >= size_; }
    std::size_t remaining() const { return exhausted() ? 0 : size_ - at_; }
    std::uint8_t take()
    {
        if (exhausted()) {
            return 0;
        }
        return data_[at_++];
    }

private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t at_ = 0;
};

// True when all `count` bytes are `value`. Written with memcmp rather than a loop: the fuzzer
// traces every compare in a loop it compiles, which over a whole image costs more than the run.
inline bool fuzz_all_bytes(const unsigned char* data, std::size_t count, unsigned char value)
{
    if (count == 0) {
        return true;
    }
    return data[0] == value && std::memcmp(data, data + 1, count - 1) == 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);
