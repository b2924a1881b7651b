#include "serial/serial_port_posix.h"

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include "serial/device_path.h"

namespace {

using steady = std::chrono::steady_clock;
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
    if (comport >= 0) {
        // Nothing useful can be done about a failing close at the end of the run.
        (void)::close(comport);
    }
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

phase_result posix_serial_port::open_device(const char* path)
{
    // Non-blocking, so that a port without carrier cannot hang the open; every operation below
    // waits with poll() instead.
    const int fd = ::open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        return phase_result::failure;
    }
    // A serial port is a terminal; anything else behind the name is not a port to write flash through.
    // TIOCEXCL keeps other users out but not root, so a lock on the device is taken as well.
    if (::isatty(fd) == 0 || ::flock(fd, LOCK_EX | LOCK_NB) != 0 || ::ioctl(fd, TIOCEXCL) != 0) {
        (void)::close(fd); // the open already failed; a close error adds nothing
        return phase_result::failure;
    }
    comport = fd;
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
    const auto deadline = steady::now() +
        milliseconds(std::uint64_t{length} * tempComTimeouts.WriteTotalTimeoutMultiplier +
            tempComTimeouts.WriteTotalTimeoutConstant);
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
    // cppcheck reads the chrono arithmetic below as a second assignment to `start`.
    // cppcheck-suppress redundantAssignment
    const auto deadline = start +
        milliseconds(std::uint64_t{REPLY_READ_SIZE} * tempComTimeouts.ReadTotalTimeoutMultiplier +
            tempComTimeouts.ReadTotalTimeoutConstant);
    const milliseconds interval(tempComTimeouts.ReadIntervalTimeout);
    std::uint32_t got = 0;
    auto last_byte_at = start;
    while (got < REPLY_READ_SIZE) {
        const auto now = steady::now();
        auto limit = deadline;
        if (got > 0 && last_byte_at + interval < limit) {
            limit = last_byte_at + interval;
        }
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
            last_byte_at = steady::now();
        } else if (n == 0 || (errno != EINTR && errno != EAGAIN)) {
            break; // end of file, or EIO from a terminal whose other side has gone
        }
    }
    bytes_read = got;
    return got;
}

std::unique_ptr<serial_port> make_platform_port() { return std::make_unique<posix_serial_port>(); }
