#include "common/process_text.h"

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>

std::string describe(const other_program& program)
{
    std::string text = "PID " + std::to_string(program.pid);
    if (!program.name.empty()) {
        text += ", " + program.name;
    }
    return text;
}

namespace {

// The text of field `index` after the command name of a /proc/PID/stat line (0: the state, 1: the
// parent, 4: the terminal, 6: the flags), or nullptr when the line is cut before it. The name, in parentheses,
// may hold anything, ')' and blanks included, so the fields are counted from its last ')'.
const char* stat_field(const std::string& stat, int index)
{
    const std::size_t name_end = stat.rfind(')');
    if (name_end == std::string::npos) {
        return nullptr;
    }
    std::size_t at = name_end;
    for (int skipped = 0; skipped <= index; ++skipped) {
        at = stat.find(' ', at + 1);
        if (at == std::string::npos) {
            return nullptr;
        }
    }
    return stat.c_str() + at + 1;
}

// A field that holds a number of at least 0; 0 when it holds none.
unsigned long unsigned_field(const std::string& stat, int index)
{
    const char* start = stat_field(stat, index);
    if (start == nullptr || std::isdigit(static_cast<unsigned char>(*start)) == 0) {
        return 0; // a negative or missing field
    }
    return std::strtoul(start, nullptr, 10);
}

} // namespace

unsigned long terminal_in_stat(const std::string& stat) { return unsigned_field(stat, 4); }

char state_in_stat(const std::string& stat)
{
    const char* state = stat_field(stat, 0);
    return state == nullptr ? '\0' : *state;
}

long parent_in_stat(const std::string& stat) { return static_cast<long>(unsigned_field(stat, 1)); }

bool kernel_thread_in_stat(const std::string& stat)
{
    // The kernel's own value for PF_KTHREAD, the same on every architecture.
    constexpr unsigned long KERNEL_THREAD = 0x00200000;
    return (unsigned_field(stat, 6) & KERNEL_THREAD) != 0;
}

unsigned long terminal_major(unsigned long terminal) { return (terminal >> 8) & 0xFFFUL; }

unsigned long terminal_minor(unsigned long terminal) { return (terminal & 0xFFUL) | ((terminal >> 12) & 0xFFF00UL); }

namespace {

// The value after `key` at the start of one of the lines of `text`, or nullptr.
const char* line_value(const std::string& text, const char* key)
{
    const std::size_t key_length = std::strlen(key);
    std::size_t at = 0;
    while (at < text.size()) {
        if (text.compare(at, key_length, key) == 0) {
            return text.c_str() + at + key_length;
        }
        const std::size_t line_end = text.find('\n', at);
        at = line_end == std::string::npos ? text.size() : line_end + 1;
    }
    return nullptr;
}

// The "flags:" line of an fdinfo text, in octal.
std::optional<unsigned long> fdinfo_flags(const std::string& fdinfo)
{
    const char* start = line_value(fdinfo, "flags:");
    if (start == nullptr) {
        return std::nullopt;
    }
    char* end = nullptr;
    const unsigned long flags = std::strtoul(start, &end, 8);
    return end != start ? std::optional<unsigned long>(flags) : std::nullopt;
}

} // namespace

bool fdinfo_may_write(const std::string& fdinfo)
{
    // The access mode is the low two bits on every Linux architecture: 0 reads only, 1 writes
    // only, 2 does both.
    constexpr unsigned long ACCESS_MODE = 3;
    const std::optional<unsigned long> flags = fdinfo_flags(fdinfo);
    return flags && (*flags & ACCESS_MODE) != 0;
}

bool fdinfo_reaches_file(const std::string& fdinfo)
{
    // O_PATH has this value on every architecture this program is built for; the text is the
    // kernel's, whatever the build.
    constexpr unsigned long PATH_ONLY = 010000000;
    const std::optional<unsigned long> flags = fdinfo_flags(fdinfo);
    return !flags || (*flags & PATH_ONLY) == 0;
}

bool fdinfo_holds_lease(const std::string& fdinfo)
{
    // "lock:\t1: LEASE  ACTIVE    READ ..." or "... LEASE  BREAKING  UNLCK ...", one line per lock.
    std::size_t at = 0;
    for (;;) {
        at = fdinfo.find("lock:", at);
        if (at == std::string::npos) {
            return false;
        }
        if (at == 0 || fdinfo[at - 1] == '\n') {
            const std::size_t line_end = fdinfo.find('\n', at);
            const std::string line =
                fdinfo.substr(at, line_end == std::string::npos ? std::string::npos : line_end - at);
            if (line.find(" LEASE ") != std::string::npos) {
                return true;
            }
        }
        at += 1;
    }
}

std::vector<long> flock_holders_in_locks(
    const std::string& locks, unsigned long major, unsigned long minor, unsigned long long inode)
{
    // "1: FLOCK  ADVISORY  WRITE 4242 00:05:87 0 EOF", the device's numbers in hexadecimal; a
    // waiter's line has "->" before the kind.
    char file[64];
    (void)std::snprintf(file, sizeof file, " %02lx:%02lx:%llu ", major, minor, inode);
    std::vector<long> holders;
    std::size_t at = 0;
    while (at < locks.size()) {
        const std::size_t line_end = std::min(locks.find('\n', at), locks.size());
        const std::string line = locks.substr(at, line_end - at);
        at = line_end + 1;
        const std::size_t kind = line.find(": FLOCK ");
        const std::size_t on = line.find(file);
        if (kind == std::string::npos || on == std::string::npos) {
            continue;
        }
        const std::size_t pid_start = line.rfind(' ', on - 1) + 1;
        holders.push_back(std::strtol(line.c_str() + pid_start, nullptr, 10));
    }
    return holders;
}
