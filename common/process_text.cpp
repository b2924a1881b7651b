#include "common/process_text.h"

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdlib>
#include <cstring>

std::string describe(const other_program& program)
{
    std::string text = "PID " + std::to_string(program.pid);
    if (!program.name.empty()) {
        text += ", " + program.name;
    }
    return text;
}

unsigned long terminal_in_stat(const std::string& stat)
{
    // After the command name in parentheses, which may hold anything, ')' and blanks included:
    // state, parent, process group, session, then the terminal.
    const std::size_t name_end = stat.rfind(')');
    if (name_end == std::string::npos) {
        return 0;
    }
    std::size_t at = name_end;
    for (int skipped = 0; skipped < 5; ++skipped) {
        at = stat.find(' ', at + 1);
        if (at == std::string::npos) {
            return 0;
        }
    }
    const char* start = stat.c_str() + at + 1;
    if (std::isdigit(static_cast<unsigned char>(*start)) == 0) {
        return 0; // a negative or missing field is no terminal
    }
    char* end = nullptr;
    const unsigned long terminal = std::strtoul(start, &end, 10);
    return end == start ? 0 : terminal;
}

unsigned long terminal_major(unsigned long terminal) { return (terminal >> 8) & 0xFFFUL; }

unsigned long terminal_minor(unsigned long terminal) { return (terminal & 0xFFUL) | ((terminal >> 12) & 0xFFF00UL); }

bool fdinfo_may_write(const std::string& fdinfo)
{
    constexpr char FLAGS[] = "flags:";
    std::size_t at = 0;
    while (at < fdinfo.size()) {
        if (fdinfo.compare(at, sizeof FLAGS - 1, FLAGS) == 0) {
            const char* start = fdinfo.c_str() + at + sizeof FLAGS - 1;
            char* end = nullptr;
            const unsigned long flags = std::strtoul(start, &end, 8);
            // The access mode is the low two bits on every Linux architecture: 0 reads only, 1
            // writes only, 2 does both.
            constexpr unsigned long ACCESS_MODE = 3;
            return end != start && (flags & ACCESS_MODE) != 0;
        }
        const std::size_t line_end = fdinfo.find('\n', at);
        at = line_end == std::string::npos ? fdinfo.size() : line_end + 1;
    }
    return false;
}

long pid_in_lock_file(const std::string& content)
{
    // Four bytes that are not all digits and blanks can only be the binary form.
    const bool all_text = content.find_first_not_of(" \t\n0123456789") == std::string::npos;
    if (content.size() == sizeof(std::int32_t) && !all_text) {
        std::int32_t binary = 0;
        std::memcpy(&binary, content.data(), sizeof binary);
        return binary > 0 ? binary : 0;
    }
    const std::size_t first = content.find_first_not_of(" \t");
    if (first == std::string::npos || std::isdigit(static_cast<unsigned char>(content[first])) == 0) {
        return 0;
    }
    // Ten digits at most, so the value cannot overflow: a longer run is no process number.
    const std::size_t digits = content.find_first_not_of("0123456789", first);
    const std::size_t count = (digits == std::string::npos ? content.size() : digits) - first;
    if (count > 10) {
        return 0;
    }
    const long long pid = std::strtoll(content.c_str() + first, nullptr, 10);
    constexpr long long LARGEST_PID = 4194304; // the kernel's limit on 64-bit systems
    return pid > 0 && pid <= LARGEST_PID ? static_cast<long>(pid) : 0;
}

std::string lock_file_name(const std::string& device_path)
{
    constexpr char DEV[] = "/dev/";
    if (device_path.compare(0, sizeof DEV - 1, DEV) != 0 || device_path.size() == sizeof DEV - 1) {
        return {};
    }
    std::string name = "LCK.." + device_path.substr(sizeof DEV - 1);
    std::replace(name.begin(), name.end(), '/', '_');
    return name;
}
