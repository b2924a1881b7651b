#include "common/process_scan_linux.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstddef>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>
#include <vector>

#include "common/close_guard.h"

namespace {

bool is_among(const std::vector<long>& pids, long pid)
{
    return std::find(pids.begin(), pids.end(), pid) != pids.end();
}

other_program program_in(int process_dir, long pid)
{
    std::string name = start_of_file(process_dir, "comm");
    if (!name.empty() && name.back() == '\n') {
        name.pop_back();
    }
    return {pid, name};
}

// Calls `visit(process_dir, pid)` for each process but this one until it answers true.
template <typename Visit>
void each_process(Visit&& visit)
{
    DIR* processes = ::opendir("/proc");
    if (processes == nullptr) {
        return;
    }
    const long self = static_cast<long>(::getpid());
    for (bool done = false; !done;) {
        const dirent* entry = ::readdir(processes);
        if (entry == nullptr) {
            break;
        }
        char* end = nullptr;
        const long pid = std::strtol(entry->d_name, &end, 10);
        if (pid <= 0 || *end != '\0' || pid == self) {
            continue; // not a process, or this one
        }
        const descriptor_guard process_dir(
            ::openat(::dirfd(processes), entry->d_name, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (process_dir.get() < 0) {
            continue; // ended meanwhile
        }
        done = visit(process_dir.get(), pid);
    }
    (void)::closedir(processes);
}

// The first process but this one that passes `found(process_dir, pid)`, or nothing.
template <typename Test>
std::optional<other_program> first_process(Test&& found)
{
    std::optional<other_program> result;
    each_process([&found, &result](int process_dir, long pid) {
        if (found(process_dir, pid)) {
            result = program_in(process_dir, pid);
        }
        return result.has_value();
    });
    return result;
}

// What a descriptor of another process leads to, as far as the scans need it.
struct descriptor_target {
    mode_t mode = 0;
    dev_t file_system = 0;
    ino_t inode = 0;
    dev_t device = 0; // a device file's own device number
};

// Looks at what `/proc/PID/fd/NAME` leads to without asking its file system: a FUSE server that
// has stopped, or an NFS server that is gone, would otherwise hold the look, and the run with
// it, for as long as it stays away. The attributes it had when last known are enough to tell a
// device or a file apart.
bool look_without_waiting(int fd_dir, const char* name, descriptor_target& target)
{
#if defined(STATX_TYPE) && defined(AT_STATX_DONT_SYNC)
    struct statx known { };
    if (::statx(fd_dir, name, AT_STATX_DONT_SYNC | AT_NO_AUTOMOUNT, STATX_TYPE | STATX_INO, &known) == 0) {
        target.mode = known.stx_mode;
        target.file_system = makedev(known.stx_dev_major, known.stx_dev_minor);
        target.inode = static_cast<ino_t>(known.stx_ino);
        target.device = makedev(known.stx_rdev_major, known.stx_rdev_minor);
        return true;
    }
    if (errno != ENOSYS) {
        return false; // closed meanwhile
    }
#endif
    // A kernel older than statx has no way to say it; the plain look is all there is.
    struct stat found { };
    if (::fstatat(fd_dir, name, &found, 0) != 0) {
        return false;
    }
    target.mode = found.st_mode;
    target.file_system = found.st_dev;
    target.inode = found.st_ino;
    target.device = found.st_rdev;
    return true;
}

// Whether one of the process's descriptors passes `test(what it leads to, its number)`.
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
        descriptor_target target;
        if (entry->d_name[0] == '.' || !look_without_waiting(fd_dir, entry->d_name, target)) {
            continue; // closed meanwhile
        }
        found = test(target, entry->d_name);
    }
    (void)::closedir(descriptors);
    return found;
}

// The fdinfo text of descriptor `fd` of the process whose folder is `process_dir`.
std::string descriptor_info(int process_dir, const char* fd)
{
    return start_of_file(process_dir, (std::string("fdinfo/") + fd).c_str());
}

// The /proc/PID/stat line of process `pid`; empty once it has ended.
std::string stat_line(long pid) { return start_of_file(AT_FDCWD, ("/proc/" + std::to_string(pid) + "/stat").c_str()); }

} // namespace

namespace {

// How the process's descriptors reach the line: through a node of its instance, or only through
// another instance's node of the same number. A descriptor opened with O_PATH only names the
// line: it neither reads nor writes it.
struct reach {
    bool here = false;
    bool elsewhere = false;
};

reach reach_of(int process_dir, const line_node& line)
{
    reach found;
    (void)some_descriptor(process_dir, [process_dir, &line, &found](const descriptor_target& target, const char* fd) {
        if (!S_ISCHR(target.mode) || target.device != line.device ||
            !fdinfo_reaches_file(descriptor_info(process_dir, fd))) {
            return false;
        }
        (line.instance == 0 || target.file_system == line.instance ? found.here : found.elsewhere) = true;
        return found.here;
    });
    return found;
}

bool has_terminal(int process_dir, dev_t device)
{
    const unsigned long terminal = terminal_in_stat(start_of_file(process_dir, "stat"));
    return terminal != 0 && terminal_major(terminal) == major(device) && terminal_minor(terminal) == minor(device);
}

} // namespace

line_users users_of_line(const line_node& line, const std::vector<long>& own, bool sessions)
{
    line_users found;
    // One pass for both: on a busy machine each pass over /proc costs more than the rest of the
    // open together.
    each_process([&](int process_dir, long pid) {
        const bool terminal = sessions && has_terminal(process_dir, line.device);
        const bool may_hold = !found.holder && !is_among(own, pid);
        if (!terminal && !may_hold) {
            return false;
        }
        const reach r = reach_of(process_dir, line);
        // The kernel names a session's terminal by its number alone: a session with the number of
        // another instance's terminal open, and not ours, is a container's.
        if (terminal && (r.here || !r.elsewhere)) {
            found.session = program_in(process_dir, pid);
            return true;
        }
        if (may_hold && r.here) {
            found.holder = program_in(process_dir, pid);
        }
        return found.holder.has_value() && !sessions;
    });
    return found;
}

std::optional<other_program> device_holder(const line_node& line, const std::vector<long>& own)
{
    return users_of_line(line, own, false).holder;
}

std::optional<other_program> file_writer(dev_t file_system, ino_t inode)
{
    return first_process([file_system, inode](int process_dir, long /*pid*/) {
        return some_descriptor(
            process_dir, [process_dir, file_system, inode](const descriptor_target& target, const char* fd) {
                return target.file_system == file_system && target.inode == inode &&
                    fdinfo_may_write(descriptor_info(process_dir, fd));
            });
    });
}

std::optional<other_program> live_process(long pid)
{
    if (pid <= 0 || (::kill(static_cast<pid_t>(pid), 0) != 0 && errno != EPERM)) {
        return std::nullopt;
    }
    const std::string dir = "/proc/" + std::to_string(pid);
    const descriptor_guard process_dir(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (process_dir.get() < 0) {
        return other_program{pid, {}};
    }
    // A zombie has ended: only its parent has not yet been told, and it holds nothing. A kernel
    // thread runs no program: a lock naming one was written in another PID namespace (a
    // container's, a chroot's), where the number was a program's.
    const std::string stat = start_of_file(process_dir.get(), "stat");
    const char state = state_in_stat(stat);
    const bool ended = state == 'Z' || state == 'X' || kernel_thread_in_stat(stat);
    other_program found = program_in(process_dir.get(), pid);
    return ended ? std::nullopt : std::optional<other_program>(found);
}

namespace {

// This process's parents, nearest first, the first process included where the chain reaches it.
std::vector<long> parents()
{
    std::vector<long> chain;
    // The chain ends at the first process (or at a PID namespace's edge, whose parent shows as
    // 0); the bound only guards against a chain read while it changes.
    long at = static_cast<long>(::getppid());
    for (int depth = 0; at > 0 && depth < 4096; ++depth) {
        chain.push_back(at);
        at = parent_in_stat(stat_line(at));
    }
    return chain;
}

} // namespace

std::vector<long> ancestors()
{
    // The first process starts everything: a line it holds (a console, a socket unit's) is no
    // wrapper's.
    std::vector<long> chain = parents();
    chain.erase(std::remove(chain.begin(), chain.end(), 1L), chain.end());
    return chain;
}

bool is_self_or_ancestor(long pid)
{
    return pid > 0 && (pid == static_cast<long>(::getpid()) || is_among(parents(), pid));
}

std::vector<long> flock_holders(dev_t file_system, ino_t inode)
{
    return flock_holders_in_locks(whole_file("/proc/locks"), major(file_system), minor(file_system), inode);
}
