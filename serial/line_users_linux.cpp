#include "serial/line_users_linux.h"

#include <algorithm>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <unistd.h>
#include <vector>

#include "common/process_scan_linux.h"
#include "serial/uucp_lock_linux.h"

namespace {

constexpr char REASON_HELD[] = "held by another program";
constexpr char REASON_LOCKED[] = "locked by another program";
constexpr char REASON_OPENED_MEANWHILE[] = "opened by another program while waiting";
constexpr char REASON_OPENED_DURING_UPDATE[] = "opened by another program during the update";

refusal held_by(const other_program& holder)
{
    return refusal(std::string(REASON_HELD) + " (" + describe(holder) + ")");
}

constexpr char REASON_SESSIONS_TERMINAL[] =
    "the terminal of a running session (a shell or a login), not a free serial port";

// Where programs that follow the old UUCP convention (minicom, picocom, cu, ModemManager's
// helpers) say that a line is theirs; on Debian one is a link to the other, and a lock found
// twice is the same lock.
constexpr const char* LOCK_DIRS[] = {"/var/lock", "/run/lock"};

// A lock on the line whose process is alive. A lock whose process is gone (or a zombie) is stale:
// the line is free, and the file is left for its owner's next start to clear (this program keeps
// no files).
refusal live_lock(const char* path)
{
    const std::string name = lock_file_name(real_path(path));
    if (name.empty()) {
        return refusal();
    }
    for (const char* dir : LOCK_DIRS) {
        const std::string lock = std::string(dir) + "/" + name;
        const long pid = pid_in_lock_file(lock_file_content(lock.c_str()));
        // A lock of this program's own, or of the script that started it, was taken for this run.
        const std::optional<other_program> owner = is_self_or_ancestor(pid) ? std::nullopt : live_process(pid);
        if (owner) {
            return refusal(std::string(REASON_LOCKED) + " (" + describe(*owner) + ") in " + lock);
        }
    }
    return refusal();
}

// The line as the scans tell it apart: a pseudo-terminal by its devpts instance as well.
line_node node_of(const struct stat& line)
{
    // The kernel's majors for the terminals of every devpts instance.
    constexpr unsigned PTY_SLAVE_MAJOR = 136;
    constexpr unsigned PTY_SLAVE_MAJORS = 8;
    const unsigned line_major = major(line.st_rdev);
    const bool pseudo = line_major >= PTY_SLAVE_MAJOR && line_major < PTY_SLAVE_MAJOR + PTY_SLAVE_MAJORS;
    return {line.st_rdev, pseudo ? line.st_dev : 0};
}

// The program's own terminal, reached through a link or /dev/tty: the kernel tells its session and
// its foreground group to its own processes only. Both are asked, as qemu-user (an ARM station's
// build run on a PC) passes on the group's question but not the session's.
bool is_own_terminal(int fd) { return ::tcgetsid(fd) >= 0 || ::tcgetpgrp(fd) > 0; }

} // namespace

refusal why_line_is_taken(int fd, const char* path)
{
    struct stat line { };
    if (::fstat(fd, &line) != 0 || !S_ISCHR(line.st_mode)) {
        return refusal();
    }
    // A terminal in use by a session is no port to flash through: the frames would land on
    // somebody's screen, its settings would be left raw for the shell or the login that owns it,
    // and its program would read the device's replies as well. Another session's (a getty's
    // serial line, a terminal window's pseudo-terminal) only /proc tells.
    if (is_own_terminal(fd)) {
        return refusal(REASON_SESSIONS_TERMINAL);
    }
    // Neither the exclusive flag nor a lock keeps out a program that already has the line open,
    // and one that reads it (a terminal program left running, a modem prober) takes the device's
    // replies. The processes that started this one keep it open for the run.
    const line_users users = users_of_line(node_of(line), ancestors(), true);
    if (users.session) {
        return refusal(REASON_SESSIONS_TERMINAL);
    }
    if (users.holder) {
        return held_by(*users.holder);
    }
    return live_lock(path);
}

std::optional<other_program> stranger_on_line(int fd)
{
    struct stat line { };
    if (::fstat(fd, &line) != 0 || !S_ISCHR(line.st_mode)) {
        return std::nullopt;
    }
    return device_holder(node_of(line), ancestors());
}

refusal why_line_was_opened_meanwhile(int fd)
{
    const std::optional<other_program> holder = stranger_on_line(fd);
    return holder ? refusal(std::string(REASON_OPENED_MEANWHILE) + " (" + describe(*holder) + "); nothing was sent")
                  : refusal();
}

refusal why_opened_during_update(const std::optional<other_program>& opener)
{
    return refusal(opener ? std::string(REASON_OPENED_DURING_UPDATE) + " (" + describe(*opener) + ")"
                          : std::string(REASON_OPENED_DURING_UPDATE));
}

refusal why_line_is_busy(const char* path)
{
    struct stat line { };
    const std::optional<other_program> holder =
        ::stat(path, &line) == 0 && S_ISCHR(line.st_mode) ? device_holder(node_of(line), ancestors()) : std::nullopt;
    return holder ? held_by(*holder) : refusal(REASON_HELD);
}

bool locked_for_this_run(int fd)
{
    struct stat node { };
    if (::fstat(fd, &node) != 0) {
        return false;
    }
    // Not this program's own: a lock it took itself is another port's of the same run.
    const std::vector<long> holders = flock_holders(node.st_dev, node.st_ino);
    const std::vector<long> own = ancestors();
    return !holders.empty() && std::all_of(holders.begin(), holders.end(), [&own](long pid) {
        return std::find(own.begin(), own.end(), pid) != own.end();
    });
}
