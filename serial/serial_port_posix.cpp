#include "serial/serial_port_posix.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
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
#endif

#include "common/signal_relay_posix.h"
#include "serial/device_path.h"
#include "serial/line_users_posix.h"

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

// A link's target, however long; empty when `path` is no link.
std::string link_target(const char* path)
{
    std::string target(256, '\0');
    for (;;) {
        const ssize_t length = ::readlink(path, target.data(), target.size());
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

std::string open_error_reason(const char* path, int error)
{
    if (error == EBUSY) {
        return HELD_ELSEWHERE; // another program set the exclusive flag
    }
    std::string reason = std::strerror(error);
    // A link to a device that is gone, as a by-id link to an adapter that is not plugged in.
    const std::string target = error == ENOENT ? link_target(path) : std::string();
    if (!target.empty()) {
        reason += " (a link to " + target + ")";
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
    // Before the lock and the exclusive flag: a line in use is left exactly as it was found.
    const std::string taken = why_line_is_taken(fd, path);
    if (!taken.empty()) {
        (void)::close(fd); // the open already failed; a close error adds nothing
        return refuse(path, taken);
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
