#include "common/file_readers_posix.h"

#include <cstdlib>
#include <fcntl.h>
#include <unistd.h>

#include "common/close_guard.h"

std::string start_of_file(int dir, const char* path)
{
    const descriptor_guard fd(::openat(dir, path, O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
    if (fd.get() < 0) {
        return {};
    }
    char text[1024];
    const ssize_t length = ::read(fd.get(), text, sizeof text);
    return length > 0 ? std::string(text, static_cast<std::size_t>(length)) : std::string();
}

std::string link_target(const std::string& path)
{
    std::string target(256, '\0');
    for (;;) {
        const ssize_t length = ::readlink(path.c_str(), target.data(), target.size());
        if (length <= 0) {
            return {};
        }
        if (static_cast<std::size_t>(length) < target.size()) {
            target.resize(static_cast<std::size_t>(length));
            return target;
        }
        target.resize(target.size() * 2); // it may have been cut: try again with more room
    }
}

std::string real_path(const std::string& path)
{
    char* real = ::realpath(path.c_str(), nullptr);
    if (real == nullptr) {
        return {};
    }
    std::string result(real);
    std::free(real); // NOLINT(cppcoreguidelines-no-malloc): realpath's buffer
    return result;
}

std::string whole_file(const char* path)
{
    const descriptor_guard fd(::open(path, O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
    if (fd.get() < 0) {
        return {};
    }
    std::string text;
    char chunk[4096];
    for (;;) {
        const ssize_t length = ::read(fd.get(), chunk, sizeof chunk);
        if (length <= 0) {
            break;
        }
        text.append(chunk, static_cast<std::size_t>(length));
    }
    return text;
}
