#include "serial/serial_port_posix.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <optional>
#include <poll.h>
#include <string>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>
#if defined(__linux__)
#include <linux/serial.h>
#include <sys/sysmacros.h>
#endif

#include "common/signal_relay_posix.h"
#include "serial/device_path.h"

namespace {

using steady = transfer_clock;
using milliseconds = std::chrono::milliseconds;

constexpr std::uint32_t REPLY_READ_SIZE = 8;

// poll() takes whole milliseconds; rounding up keeps a wait from ending just before its limit
// and being repeated with a zero timeout.
int poll_timeout_ms(steady::duration remaining)
{
    if (remaining <= steady::duration::zero()) {
        return 0;
    }
    const auto ms = std::chrono::ceil<milliseconds>(remaining).count();
    return ms > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int>(ms);
}

// What the program changed on the port and must give back before it lets go of the line, also
// when a signal ends the run: the exclusive flag outlives the program on a line that something
// else keeps open (a serial bridge, a virtual null-modem), and the low-latency flag changes the
// driver's behaviour for every later user of the adapter. Kept where a signal handler can reach it.
struct line_changes {
    volatile std::sig_atomic_t fd = -1;
#if defined(TIOCGSERIAL) && defined(ASYNC_LOW_LATENCY)
    volatile std::sig_atomic_t low_latency_set = 0;
    serial_struct found_serial{};
#endif
};
line_changes changes;

// Async-signal-safe: only ioctl on the recorded descriptor.
void give_back_line()
{
    const int fd = changes.fd;
    if (fd < 0) {
        return;
    }
#if defined(TIOCGSERIAL) && defined(ASYNC_LOW_LATENCY)
    if (changes.low_latency_set != 0) {
        // The driver's flags as found; if it refuses, there is nobody left to tell.
        (void)::ioctl(fd, TIOCSSERIAL, &changes.found_serial);
        changes.low_latency_set = 0;
    }
#endif
    (void)::ioctl(fd, TIOCNXCL); // fails only on a line that is already gone
    changes.fd = -1;
}

// Signals that end the run while the port is held, Ctrl-C during the transfer among them.
const signal_relay* line_relay = nullptr;
std::optional<signal_relay> line_relay_holder;

extern "C" void give_back_and_pass_on(int sig)
{
    give_back_line();
    pass_on_signal(line_relay, sig);
}

// USB-serial adapters hold received bytes back for their latency timer (16 ms on FTDI), which
// every one of an update's 244 replies would pay. Asking the driver for low latency removes
// that wait; a driver or pseudo-terminal that refuses is used as it is.
void request_low_latency(int fd)
{
#if defined(TIOCGSERIAL) && defined(ASYNC_LOW_LATENCY)
    if (changes.fd != fd) {
        return; // only the recorded port's flags can be given back
    }
    // The kernel declares the flags as int and the flag values as unsigned.
    constexpr int LOW_LATENCY = static_cast<int>(ASYNC_LOW_LATENCY);
    serial_struct found{};
    if (::ioctl(fd, TIOCGSERIAL, &found) != 0 || (found.flags & LOW_LATENCY) != 0) {
        return;
    }
    serial_struct wanted = found;
    wanted.flags |= LOW_LATENCY;
    // Recorded before the driver is asked, under one block: on a USB adapter the request takes
    // milliseconds, and a signal meanwhile must find the flags to give back. Giving back what
    // was found is harmless if the driver refuses.
    const signal_block hold;
    changes.found_serial = found;
    changes.low_latency_set = 1;
    if (::ioctl(fd, TIOCSSERIAL, &wanted) != 0) {
        changes.low_latency_set = 0;
    }
#else
    (void)fd; // no such driver setting on this platform
#endif
}

// What an operator needs to hear when the port is taken: the system's own words for it ("Device
// or resource busy", "Resource temporarily unavailable") do not say who has it.
constexpr char HELD_ELSEWHERE[] = "held by another program";
constexpr char NOT_A_TERMINAL[] = "not a terminal, so not a serial port";
constexpr char SESSIONS_TERMINAL[] = "the terminal of a running session (a shell or a login), not a free serial port";

#if defined(__linux__)
// Whether some process has the terminal `device` (its st_rdev) as its controlling terminal, as
// /proc tells: a getty's line. The kernel answers tcgetsid only for the caller's own terminal. Processes that /proc
// hides (hidepid) are not seen.
bool controls_some_session(dev_t device)
{
    DIR* processes = ::opendir("/proc");
    if (processes == nullptr) {
        return false;
    }
    bool found = false;
    while (!found) {
        const dirent* entry = ::readdir(processes);
        if (entry == nullptr) {
            break;
        }
        if (entry->d_name[0] < '1' || entry->d_name[0] > '9') {
            continue; // not a process
        }
        const std::string path = std::string("/proc/") + entry->d_name + "/stat";
        const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) {
            continue; // ended meanwhile
        }
        char stat[512];
        const ssize_t length = ::read(fd, stat, sizeof stat - 1);
        (void)::close(fd); // read-only
        if (length <= 0) {
            continue;
        }
        stat[length] = '\0';
        // After the command name in parentheses, which may hold anything, ')' included: state,
        // parent, process group, session, then the terminal in the kernel's own encoding.
        const char* field = std::strrchr(stat, ')');
        for (int skipped = 0; skipped < 5 && field != nullptr; ++skipped) {
            field = std::strchr(field + 1, ' ');
        }
        if (field == nullptr) {
            continue;
        }
        char* end = nullptr;
        const unsigned long tty = std::strtoul(field + 1, &end, 10);
        if (end == field + 1 || tty == 0) {
            continue; // no terminal
        }
        const unsigned long tty_major = (tty >> 8) & 0xFFFUL;
        const unsigned long tty_minor = (tty & 0xFFUL) | ((tty >> 12) & 0xFFF00UL);
        found = tty_major == major(device) && tty_minor == minor(device);
    }
    (void)::closedir(processes);
    return found;
}
#endif

// A terminal in use by a session is no port to flash through: writing the frames to it would put
// them on somebody's screen, and its settings would be left raw for the shell or the login that
// owns it, whose program would read the device's replies as well.
bool in_use_by_a_session(int fd)
{
    // The program's own terminal, reached through a link or /dev/tty: the kernel tells its
    // session and its foreground group to its own processes only. Both are asked, as qemu-user
    // (an ARM station's build run on a PC) passes on the group's question but not the session's.
    if (::tcgetsid(fd) >= 0 || ::tcgetpgrp(fd) > 0) {
        return true;
    }
#if defined(__linux__)
    // A pseudo-terminal belongs to the program that made it (a terminal window, sshd, tmux): the
    // program's own was found above, and another user's cannot be opened. A serial line is
    // where a getty runs a login, and only /proc tells whose terminal it is.
    constexpr unsigned BSD_PTY_SLAVE_MAJOR = 3;
    constexpr unsigned UNIX98_PTY_SLAVE_MAJOR_FIRST = 136;
    constexpr unsigned UNIX98_PTY_SLAVE_MAJOR_LAST = 143;
    struct stat line { };
    if (::fstat(fd, &line) != 0 || !S_ISCHR(line.st_mode)) {
        return false;
    }
    const unsigned line_major = major(line.st_rdev);
    if (line_major == BSD_PTY_SLAVE_MAJOR ||
        (line_major >= UNIX98_PTY_SLAVE_MAJOR_FIRST && line_major <= UNIX98_PTY_SLAVE_MAJOR_LAST)) {
        return false;
    }
    return controls_some_session(line.st_rdev);
#else
    return false;
#endif
}

std::string open_error_reason(const char* path, int error)
{
    if (error == EBUSY) {
        return HELD_ELSEWHERE; // another program set the exclusive flag
    }
    std::string reason = std::strerror(error);
    // A link to a device that is gone, as a by-id link to an adapter that is not plugged in.
    char target[256];
    const ssize_t length = error == ENOENT ? ::readlink(path, target, sizeof target - 1) : -1;
    if (length > 0) {
        reason += " (a link to " + std::string(target, static_cast<std::size_t>(length)) + ")";
    }
    return reason;
}

} // namespace

void apply_line_settings(termios& settings)
{
    // The results are not examined: B115200 is valid on every POSIX system.
    (void)cfsetispeed(&settings, B115200);
    (void)cfsetospeed(&settings, B115200);
    settings.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | CSTOPB);
    // CLOCAL: a Windows port never waits for carrier, so neither do we.
    settings.c_cflag |= CS8 | CREAD | CLOCAL;
    // Binary transfer. IXON must go too: it would swallow 0x11 and 0x13 in the device's replies
    // (0x11 is a real refusal status) and stall our output on 0x13.
    settings.c_iflag &= ~static_cast<tcflag_t>(
        IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | INPCK | IXON | IXOFF | IXANY);
    settings.c_oflag &= ~static_cast<tcflag_t>(OPOST);
    settings.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
}

posix_serial_port::~posix_serial_port()
{
    if (comport < 0) {
        return;
    }
    {
        const signal_block hold;
        if (changes.fd == comport) {
            give_back_line();
            line_relay_holder.reset();
        } else {
            (void)::ioctl(comport, TIOCNXCL); // fails only on a line that is already gone
        }
    }
    // Nothing useful can be done about a failing close at the end of the run.
    (void)::close(comport);
}

phase_result posix_serial_port::open_comport(int num_comport)
{
    const char* name = build_comport_name(names, num_comport);
    const std::string path = posix_device_path(name, std::getenv("TARVOLO_COM_DIR"));
    if (path.empty()) {
        return phase_result::failure;
    }
    return open_device(path.c_str());
}

phase_result posix_serial_port::refuse(const char* path, std::string reason)
{
    failure_ = {path, std::move(reason)};
    return phase_result::failure;
}

phase_result posix_serial_port::open_device(const char* path)
{
    // Non-blocking, so that a port without carrier cannot hang the open; every operation below
    // waits with poll() instead.
    const int fd = ::open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        return refuse(path, open_error_reason(path, errno));
    }
    // A serial port is a terminal; anything else behind the name is not a port to write flash through.
    if (::isatty(fd) == 0) {
        (void)::close(fd); // the open already failed; a close error adds nothing
        return refuse(path, NOT_A_TERMINAL);
    }
    // Before the lock and the exclusive flag: such a terminal is left exactly as it was found.
    if (in_use_by_a_session(fd)) {
        (void)::close(fd); // the open already failed; a close error adds nothing
        return refuse(path, SESSIONS_TERMINAL);
    }
    const signal_block hold;
    // TIOCEXCL keeps other users out but not root, so a lock on the device is taken as well.
    // The lock first: while another program holds the line, its exclusive flag is not ours to
    // touch, not even to give back. The lock itself goes with the descriptor.
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int error = errno;
        (void)::close(fd); // the open already failed; a close error adds nothing
        return refuse(path, error == EWOULDBLOCK ? HELD_ELSEWHERE : std::strerror(error));
    }
    // The program holds one port; a second one open at the same time (only tests do that) has
    // nothing recorded and is only made shareable again when it is closed.
    const bool recorded = changes.fd < 0;
    if (recorded) {
        // Recorded, and its handler in place, before the line is changed: a signal at any
        // instant from here on finds what to give back (clearing a flag never set is harmless).
        changes.fd = fd;
        line_relay_holder.emplace(give_back_and_pass_on, line_relay);
    }
    if (::ioctl(fd, TIOCEXCL) != 0) {
        const int error = errno;
        if (recorded) {
            give_back_line();
            line_relay_holder.reset();
        }
        (void)::close(fd); // the open already failed; a close error adds nothing
        return refuse(path, std::strerror(error));
    }
    comport = fd;
    failure_ = {};
    return phase_result::success;
}

void posix_serial_port::setup_comport()
{
    set_timeouts(timeout_profile::normal);
    if (::tcgetattr(comport, &comSettings) != 0) {
        // Not a state we can change in five places; the port is used as it is.
        return;
    }
    apply_line_settings(comSettings);
    // A port that refuses the settings is still used; the device's replies will tell.
    (void)::tcsetattr(comport, TCSANOW, &comSettings);
    request_low_latency(comport);
}

void posix_serial_port::set_timeouts(timeout_profile profile)
{
    const std::uint32_t value = profile_ms(profile);
    tempComTimeouts.ReadIntervalTimeout = value;
    tempComTimeouts.ReadTotalTimeoutMultiplier = value;
    tempComTimeouts.ReadTotalTimeoutConstant = value;
    tempComTimeouts.WriteTotalTimeoutMultiplier = value;
    tempComTimeouts.WriteTotalTimeoutConstant = value;
}

void posix_serial_port::send_block(const unsigned char* data, std::uint32_t length)
{
    const auto deadline =
        transfer_deadline(tempComTimeouts, transfer_direction::write, length, steady::now(), std::nullopt);
    std::uint32_t sent = 0;
    while (sent < length) {
        const ssize_t n = ::write(comport, data + sent, length - sent);
        if (n > 0) {
            sent += static_cast<std::uint32_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n == 0 || errno != EAGAIN) {
            break;
        }
        pollfd waiter{comport, POLLOUT, 0};
        const int ready = ::poll(&waiter, 1, poll_timeout_ms(deadline - steady::now()));
        if (ready < 0 && errno != EINTR) {
            break;
        }
        if (ready == 0 || (ready > 0 && (waiter.revents & (POLLERR | POLLHUP | POLLNVAL)) != 0)) {
            break;
        }
    }
    bytes_written = sent;
}

std::uint32_t posix_serial_port::read_reply(unsigned char* dest)
{
    const auto start = steady::now();
    std::optional<steady::time_point> last_byte;
    std::uint32_t got = 0;
    while (got < REPLY_READ_SIZE) {
        const auto now = steady::now();
        const auto limit =
            transfer_deadline(tempComTimeouts, transfer_direction::read, REPLY_READ_SIZE, start, last_byte);
        if (now >= limit) {
            break;
        }
        pollfd waiter{comport, POLLIN, 0};
        const int ready = ::poll(&waiter, 1, poll_timeout_ms(limit - now));
        if (ready < 0) {
            if (errno == EINTR) {
                continue;
            }
            break;
        }
        if (ready == 0) {
            continue;
        }
        if ((waiter.revents & POLLIN) == 0) {
            break; // hung up or gone, with nothing left to read
        }
        const ssize_t n = ::read(comport, dest + got, REPLY_READ_SIZE - got);
        if (n > 0) {
            got += static_cast<std::uint32_t>(n);
            last_byte = steady::now();
        } else if (n == 0 || (errno != EINTR && errno != EAGAIN)) {
            break; // end of file, or EIO from a terminal whose other side has gone
        }
    }
    bytes_read = got;
    return got;
}

std::unique_ptr<serial_port> make_platform_port() { return std::make_unique<posix_serial_port>(); }
