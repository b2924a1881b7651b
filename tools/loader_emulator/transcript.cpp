#include "transcript.h"

#include "write_fully.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace emu {
namespace {

// Long blocks keep their first and last bytes; the count stays visible.
constexpr std::size_t FULL_HEX_LIMIT = 32;
constexpr std::size_t EDGE_BYTES = 8;

} // namespace

std::string hex2(unsigned value)
{
    char text[8];
    std::snprintf(text, sizeof text, "%02X", value & 0xFFU);
    return text;
}

std::string hex4(unsigned value)
{
    char text[8];
    std::snprintf(text, sizeof text, "0x%04X", value & 0xFFFFU);
    return text;
}

std::string hex_bytes(const std::uint8_t* data, std::size_t size)
{
    std::string out;
    const bool cut = size > FULL_HEX_LIMIT;
    for (std::size_t i = 0; i < size; ++i) {
        if (cut && i == EDGE_BYTES) {
            out += " ..";
            i = size - EDGE_BYTES;
        }
        if (!out.empty()) {
            out += ' ';
        }
        out += hex2(data[i]);
    }
    return cut ? "[" + std::to_string(size) + " bytes] " + out : out;
}

transcript_log::~transcript_log()
{
    if (fd_ >= 0 && ::close(fd_) != 0) {
        std::fprintf(stderr, "tarvolo_loader_emulator: closing transcript: %s\n", std::strerror(errno));
    }
}

bool transcript_log::open(const std::string& path, std::string& error)
{
    fd_ = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd_ < 0) {
        error = "cannot open transcript " + path + ": " + std::strerror(errno);
        return false;
    }
    return true;
}

void transcript_log::host(const std::uint8_t* data, std::size_t size, const std::string& what)
{
    line("host>", hex_bytes(data, size) + "  (" + what + ")");
}

void transcript_log::device(const std::uint8_t* data, std::size_t size, const std::string& what)
{
    line("dev> ", hex_bytes(data, size) + "  (" + what + ")");
}

void transcript_log::note(const std::string& what) { line("note ", what); }

void transcript_log::line(const char* tag, const std::string& body)
{
    if (fd_ < 0 || failed_) {
        return;
    }
    const auto since = std::chrono::duration_cast<std::chrono::microseconds>(emulator_clock::now() - start_).count();
    char stamp[48];
    std::snprintf(stamp, sizeof stamp, "+%lld.%06lld %s ", static_cast<long long>(since / 1000000),
        static_cast<long long>(since % 1000000), tag);
    const std::string text = stamp + body + "\n";
    if (!write_fully(fd_, text.data(), text.size())) {
        // One warning is enough; the update itself must go on.
        std::fprintf(stderr, "tarvolo_loader_emulator: transcript write failed: %s\n", std::strerror(errno));
        failed_ = true;
    }
}

} // namespace emu
