#include "serial/uucp_lock_linux.h"

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "common/close_guard.h"

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

std::string lock_file_content(const char* path)
{
    // Anyone may write in the lock folder: a link there may lead to another station's line, a
    // FIFO to a wait, a device to whatever its opening does. Only a plain file is a lock.
    struct stat found { };
    if (::lstat(path, &found) != 0 || !S_ISREG(found.st_mode)) {
        return {};
    }
    const descriptor_guard fd(::open(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (fd.get() < 0) {
        return {};
    }
    char text[LOCK_FILE_MOST];
    struct stat opened { };
    const ssize_t length =
        ::fstat(fd.get(), &opened) == 0 && S_ISREG(opened.st_mode) ? ::read(fd.get(), text, sizeof text) : -1;
    return length > 0 ? std::string(text, static_cast<std::size_t>(length)) : std::string();
}
