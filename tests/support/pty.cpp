#include "support/pty.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <linux/capability.h>
#include <poll.h>
#include <stdexcept>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include "loader_emulator/write_fully.h"
#include "support/process.h"

namespace {

using steady = std::chrono::steady_clock;

int remaining_ms(steady::time_point deadline)
{
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - steady::now()).count();
    return left < 0 ? 0 : static_cast<int>(left);
}

// Appends one read's worth to `out`; false at end of data or on error.
bool read_some(int fd, std::string& out, int timeout_ms)
{
    pollfd waiter{fd, POLLIN, 0};
    const int ready = ::poll(&waiter, 1, timeout_ms);
    if (ready <= 0 || (waiter.revents & POLLIN) == 0) {
        return ready == 0 || (ready < 0 && errno == EINTR);
    }
    char room[4096];
    const ssize_t n = ::read(fd, room, sizeof room);
    if (n <= 0) {
        return n < 0 && (errno == EINTR || errno == EAGAIN);
    }
    out.append(room, static_cast<std::size_t>(n));
    return true;
}

} // namespace

pty_pair::pty_pair(held ends)
{
    master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master < 0 || ::grantpt(master) != 0 || ::unlockpt(master) != 0) {
        throw std::runtime_error("no pseudo-terminal");
    }
    slave_path = ::ptsname(master);
    // Never opened at all, not even for a moment: once a slave has been closed, the master
    // reports a hang-up until the next open, and a wait on it would end at once.
    if (ends == held::both) {
        slave = ::open(slave_path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (slave < 0) {
            throw std::runtime_error("cannot open " + slave_path);
        }
    }
}

pty_pair::~pty_pair()
{
    if (slave >= 0) {
        (void)::close(slave);
    }
    hang_up();
}

void pty_pair::hang_up()
{
    if (master >= 0) {
        (void)::close(master);
        master = -1;
    }
}

namespace {

// Handed out to tests that ask for no number: above every number a test asks for.
constexpr int FIRST_FREE_PORT = 201;
constexpr int LAST_FREE_PORT = 255;

// The claim file of `number` opened and locked, or -1 while another holder has it.
int claim(const std::string& com_dir, int number)
{
    const std::string file = com_dir + "/.com" + std::to_string(number) + ".claim";
    const int fd = ::open(file.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) {
        throw std::runtime_error("cannot create " + file);
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) == 0) {
        return fd;
    }
    (void)::close(fd);
    return -1;
}

} // namespace

com_port::com_port(const std::string& com_dir, std::optional<int> asked)
{
    const auto claimed = [&] {
        for (number = asked.value_or(FIRST_FREE_PORT); number <= asked.value_or(LAST_FREE_PORT); ++number) {
            claim_ = claim(com_dir, number);
            if (claim_ >= 0) {
                return true;
            }
        }
        return false;
    };
    if (!wait_until(claimed, std::chrono::minutes(1))) {
        throw std::runtime_error("no COM port free in " + com_dir + " for a minute");
    }
    path = com_dir + "/com" + std::to_string(number);
}

com_port::~com_port()
{
    (void)::unlink(path.c_str());
    (void)::close(claim_);
}

void com_port::link_to(const std::string& target) const
{
    (void)::unlink(path.c_str());
    if (::symlink(target.c_str(), path.c_str()) != 0) {
        throw std::runtime_error("cannot link " + path);
    }
}

device_line::device_line(const std::string& com_dir, std::optional<int> number, std::optional<mode_t> mode, held ends)
    : pty_pair(ends), port(com_dir, number)
{
    if (mode && ::chmod(slave_path.c_str(), *mode) != 0) {
        throw std::runtime_error("cannot change the mode of " + slave_path);
    }
    port.link_to(slave_path);
}

void make_raw(int fd)
{
    termios settings{};
    if (::tcgetattr(fd, &settings) != 0) {
        throw std::runtime_error("not a terminal");
    }
    ::cfmakeraw(&settings);
    settings.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);
    if (::tcsetattr(fd, TCSANOW, &settings) != 0) {
        throw std::runtime_error("cannot set terminal");
    }
}

bool write_all(int fd, const std::string& bytes) { return emu::write_fully(fd, bytes.data(), bytes.size()); }

std::string read_until(int fd, const std::string& until, std::chrono::milliseconds timeout)
{
    const auto deadline = steady::now() + timeout;
    std::string out;
    while (out.find(until) == std::string::npos && steady::now() < deadline) {
        if (!read_some(fd, out, remaining_ms(deadline))) {
            break;
        }
    }
    return out;
}

std::string read_to_end(int fd, std::chrono::milliseconds timeout)
{
    const auto deadline = steady::now() + timeout;
    std::string out;
    while (steady::now() < deadline && read_some(fd, out, remaining_ms(deadline))) { }
    return out;
}

std::string read_for(int fd, std::chrono::milliseconds quiet, std::chrono::milliseconds limit)
{
    const auto deadline = steady::now() + limit;
    std::string out;
    while (steady::now() < deadline) {
        const std::size_t before = out.size();
        const int wait = std::min(static_cast<int>(quiet.count()), remaining_ms(deadline));
        if (!read_some(fd, out, wait) || out.size() == before) {
            break;
        }
    }
    return out;
}

bool wait_for_raw_mode(int fd, std::chrono::milliseconds timeout, tcflag_t off)
{
    return wait_until(
        [fd, off] {
            termios now{};
            return ::tcgetattr(fd, &now) == 0 && (now.c_lflag & off) == 0;
        },
        timeout);
}

namespace {

// The flag as the host kernel shows it to a second open of the terminal: one without
// CAP_SYS_ADMIN (the capability that passes TIOCEXCL) is refused with EBUSY exactly when it is set.
int exclusive_flag_by_reopening(int fd)
{
    std::error_code error;
    const std::string path = std::filesystem::read_symlink("/proc/self/fd/" + std::to_string(fd), error).string();
    const pid_t child = ::fork();
    if (child == 0) {
        // Not with the line open as well: an updater watching for opens would find this child,
        // which is none of its ancestors, holding its line, and rightly end its run.
        (void)::close(fd);
        __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
        __user_cap_data_struct caps[_LINUX_CAPABILITY_U32S_3] = {};
        (void)::syscall(SYS_capget, &header, caps);
        caps[CAP_TO_INDEX(CAP_SYS_ADMIN)].effective &= ~CAP_TO_MASK(CAP_SYS_ADMIN);
        const bool dropped = ::syscall(SYS_capset, &header, caps) == 0;
        const int again = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        ::_exit(!dropped ? 2 : again >= 0 ? 0 : errno == EBUSY ? 1 : 2);
    }
    int status = 0;
    const bool ended = child > 0 && ::waitpid(child, &status, 0) == child && WIFEXITED(status);
    return ended && WEXITSTATUS(status) <= 1 ? WEXITSTATUS(status) : -1;
}

} // namespace

int pty_pair::exclusive_flag() const
{
    if (slave >= 0) {
        return ::exclusive_flag(slave);
    }
    const int fd = ::open(slave_path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        return errno == EBUSY ? 1 : -1;
    }
    const int set = ::exclusive_flag(fd);
    (void)::close(fd);
    return set;
}

int exclusive_flag(int fd)
{
    int set = -1;
    if (::ioctl(fd, TIOCGEXCL, &set) == 0) {
        return set;
    }
    // qemu-user has no TIOCGEXCL: a cross build's suites ask the host kernel another way.
    return ::isatty(fd) != 0 ? exclusive_flag_by_reopening(fd) : -1;
}
