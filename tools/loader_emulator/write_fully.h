#pragma once

#include <cerrno>
#include <cstddef>
#include <unistd.h>

namespace emu {

// Writes all of `size` bytes to a file, going on after partial writes and interruptions.
// False on an error, with errno telling which.
inline bool write_fully(int fd, const void* data, std::size_t size)
{
    const auto* bytes = static_cast<const char*>(data);
    std::size_t done = 0;
    while (done < size) {
        const ssize_t n = ::write(fd, bytes + done, size - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    return true;
}

} // namespace emu
