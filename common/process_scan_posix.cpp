#include "common/process_scan_posix.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#if defined(__linux__)
#include <sys/sysmacros.h>
#endif

std::string start_of_file(int dir, const char* path)
{
    const int fd = ::openat(dir, path, O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) {
        return {};
    }
    char text[1024];
    const ssize_t length = ::read(fd, text, sizeof text);
    (void)::close(fd); // read-only: a failing close loses nothing
    return length > 0 ? std::string(text, static_cast<std::size_t>(length)) : std::string();
}

namespace {

other_program program_in(int process_dir, long pid)
{
    std::string name = start_of_file(process_dir, "comm");
    if (!name.empty() && name.back() == '\n') {
        name.pop_back();
    }
    return {pid, name};
}

#if defined(__linux__)
// Calls `found(process_dir, pid)` for each process but this one until it answers true; gives
// that process, or nothing.
template <typename Test>
std::optional<other_program> first_process(Test&& found)
{
    DIR* processes = ::opendir("/proc");
    if (processes == nullptr) {
        return std::nullopt;
    }
    const long self = static_cast<long>(::getpid());
    std::optional<other_program> result;
    while (!result) {
        const dirent* entry = ::readdir(processes);
        if (entry == nullptr) {
            break;
        }
        char* end = nullptr;
        const long pid = std::strtol(entry->d_name, &end, 10);
        if (pid <= 0 || *end != '\0' || pid == self) {
            continue; // not a process, or this one
        }
        const int process_dir = ::openat(::dirfd(processes), entry->d_name, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (process_dir < 0) {
            continue; // ended meanwhile
        }
        if (found(process_dir, pid)) {
            result = program_in(process_dir, pid);
        }
        (void)::close(process_dir);
    }
    (void)::closedir(processes);
    return result;
}

// Whether one of the process's descriptors passes `test(descriptor's stat, fdinfo dir, name)`.
template <typename Test>
bool some_descriptor(int process_dir, Test&& test)
{
    const int fd_dir = ::openat(process_dir, "fd", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd_dir < 0) {
        return false; // another user's, or ended meanwhile
    }
    DIR* descriptors = ::fdopendir(fd_dir);
    if (descriptors == nullptr) {
        (void)::close(fd_dir);
        return false;
    }
    bool found = false;
    while (!found) {
        const dirent* entry = ::readdir(descriptors);
        if (entry == nullptr) {
            break;
        }
        struct stat target { };
        if (entry->d_name[0] == '.' || ::fstatat(fd_dir, entry->d_name, &target, 0) != 0) {
            continue; // closed meanwhile
        }
        found = test(target, entry->d_name);
    }
    (void)::closedir(descriptors);
    return found;
}
#endif

} // namespace

std::optional<other_program> device_holder(dev_t device)
{
#if defined(__linux__)
    return first_process([device](int process_dir, long /*pid*/) {
        return some_descriptor(process_dir, [device](const struct stat& target, const char* /*fd*/) {
            return S_ISCHR(target.st_mode) && target.st_rdev == device;
        });
    });
#else
    (void)device;
    return std::nullopt;
#endif
}

std::optional<other_program> file_writer(dev_t file_system, ino_t inode)
{
#if defined(__linux__)
    return first_process([file_system, inode](int process_dir, long /*pid*/) {
        return some_descriptor(
            process_dir, [process_dir, file_system, inode](const struct stat& target, const char* fd) {
                if (target.st_dev != file_system || target.st_ino != inode) {
                    return false;
                }
                const std::string info = start_of_file(process_dir, (std::string("fdinfo/") + fd).c_str());
                return fdinfo_may_write(info);
            });
    });
#else
    (void)file_system;
    (void)inode;
    return std::nullopt;
#endif
}

std::optional<other_program> terminal_session(dev_t device)
{
#if defined(__linux__)
    return first_process([device](int process_dir, long /*pid*/) {
        const unsigned long terminal = terminal_in_stat(start_of_file(process_dir, "stat"));
        return terminal != 0 && terminal_major(terminal) == major(device) && terminal_minor(terminal) == minor(device);
    });
#else
    (void)device;
    return std::nullopt;
#endif
}

std::optional<other_program> live_process(long pid)
{
    if (pid <= 0 || (::kill(static_cast<pid_t>(pid), 0) != 0 && errno != EPERM)) {
        return std::nullopt;
    }
    const std::string dir = "/proc/" + std::to_string(pid);
    const int process_dir = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (process_dir < 0) {
        return other_program{pid, {}};
    }
    other_program found = program_in(process_dir, pid);
    (void)::close(process_dir);
    return found;
}
