#include "serial/serial_port_posix.h"

#include <cerrno>
#include <chrono>
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

#include "common/close_guard.h"
#include "common/process_scan_linux.h"
#include "common/signal_relay_posix.h"
#include "serial/device_path.h"
#include "serial/line_catalogue_linux.h"
#include "serial/line_changes_linux.h"
#include "serial/line_users_linux.h"

namespace {

using steady = transfer_clock;
using milliseconds = std::chrono::milliseconds;

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

constexpr char REASON_NOT_A_TERMINAL[] = "not a terminal, so not a serial port";

refusal open_error_reason(const char* path, int error, int num_comport)
{
    // Another program set the exclusive flag. The system's own words for it ("Device or resource
    // busy", "Resource temporarily unavailable") do not say who has the port, and an operator
    // needs to hear that.
    if (error == EBUSY) {
        return why_line_is_busy(path);
    }
    std::string reason = std::strerror(error);
    // A link to a device that is gone, as a by-id link to an adapter that is not plugged in.
    const std::string target = error == ENOENT ? link_target(path) : std::string();
    if (!target.empty()) {
        reason += " (a link to " + target + ")";
    }
    // The number the operator typed reaches nothing: say where the lines are.
    if (names_no_line(error)) {
        reason += where_the_lines_are(line_roots{}, path, std::getenv("TARVOLO_COM_DIR"), num_comport);
    }
    return refusal(reason);
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
        give_back_line(comport);
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
    // Some kernels let a placeholder open, and every transfer then fails: it is never touched.
    if (const refusal placeholder =
            placeholder_reason(line_roots{}, path, std::getenv("TARVOLO_COM_DIR"), num_comport)) {
        return refuse(path.c_str(), placeholder);
    }
    return open_device(path.c_str(), num_comport);
}

phase_result posix_serial_port::refuse(const char* path, const refusal& why)
{
    failure_ = why.about(path);
    return phase_result::failure;
}

// The line is looked at, at these moments only, so that nothing can open it unseen between two
// looks and nothing the updater needs is touched before it is known to be ours:
//   1. before the open, on the name alone: a placeholder that some kernels let open
//      (placeholder_reason, in open_comport);
//   2. on a failed open: why, naming the holder or the lock's owner (open_error_reason);
//   3. after the lock and the exclusive flag, with the watch for opens armed just before: lock
//      files, holders and sessions, one pass over /proc (why_line_is_taken, below);
//   4. between the start key and the erase frame: the watch, and /proc only for an open it saw
//      (line_taken_meanwhile, asked by the main sequence);
//   5. during the exchange, whenever it waits on the port: the watch, polled with it
//      (look_up_opener).
// A new check goes at the first moment that can see what it looks for.
phase_result posix_serial_port::open_device(const char* path, int num_comport)
{
    // Non-blocking, so that a port without carrier cannot hang the open; every operation below
    // waits with poll() instead.
    descriptor_guard opened(::open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
    const int fd = opened.get();
    if (fd < 0) {
        return refuse(path, open_error_reason(path, errno, num_comport));
    }
    // A serial port is a terminal; anything else behind the name is not a port to write flash through.
    if (::isatty(fd) == 0) {
        return refuse(path, refusal(REASON_NOT_A_TERMINAL));
    }
    // TIOCEXCL keeps other users out but not root, so a lock on the device is taken as well.
    // The lock first: while another program holds the line, its exclusive flag is not ours to
    // touch, not even to give back. The lock itself goes with the descriptor.
    bool recorded = false;
    const auto give_back = [fd, &recorded] {
        if (recorded) {
            const signal_block hold;
            give_back_line(fd);
        }
    };
    {
        // Recorded and changed as one step: a signal at any instant finds the record complete.
        const signal_block hold;
        if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
            const int error = errno;
            if (error != EWOULDBLOCK) {
                return refuse(path, refusal::of_errno(error));
            }
            // A wrapper that started this run may hold the lock for it (`flock LINE updater`): the
            // line is then the run's without a lock of its own.
            if (!locked_for_this_run(fd)) {
                return refuse(path, why_line_is_busy(path));
            }
        }
        // The program holds one port; a second one open at the same time (only tests do that)
        // has nothing recorded and is only made shareable again when it is closed.
        recorded = record_line(fd);
        if (::ioctl(fd, TIOCEXCL) != 0) {
            const int error = errno;
            give_back();
            return refuse(path, refusal::of_errno(error));
        }
    }
    // Looked at only once the flag is set, so that no ordinary user's open can fall between the
    // look and the flag; and the watch armed before the look, so that an open the look has
    // passed by (root's, or a program's that ignores the flag) is seen from then on. A refused
    // line gets its flag back as found; its settings were never touched.
    (void)watch_.arm(fd); // without a watch the line is looked at again before the erase
    if (const refusal taken = why_line_is_taken(fd, path)) {
        watch_.disarm();
        give_back();
        return refuse(path, taken);
    }
    device_ = path;
    comport = opened.release();
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
    tempComTimeouts = timeouts_for<comm_timeouts>(profile);
}

posix_serial_port::port_wait posix_serial_port::wait_for(short events, steady::time_point limit, short& revents)
{
    // The watch is polled with the port: it costs nothing until an open is seen, and one seen
    // wakes the wait at once.
    pollfd waiters[2] = {{comport, events, 0}, {watch_.descriptor(), POLLIN, 0}};
    const nfds_t count = watch_.armed() ? 2 : 1;
    const int ready = ::poll(waiters, count, poll_timeout_ms(limit - steady::now()));
    revents = waiters[0].revents;
    if (ready < 0) {
        return errno == EINTR ? port_wait::again : port_wait::failed;
    }
    if (count == 2 && waiters[1].revents != 0) {
        look_up_opener();
        return taken_ ? port_wait::failed : revents != 0 ? port_wait::ready : port_wait::again;
    }
    return ready == 0 ? port_wait::timed_out : port_wait::ready;
}

void posix_serial_port::look_up_opener()
{
    if (!watch_.opened_since()) {
        return;
    }
    // Looked up at once: a program that still has the line takes the device's replies, and the
    // run must end before it sends another byte. One gone again is only remembered, in case a
    // reply then goes missing.
    const std::optional<other_program> opener = stranger_on_line(comport);
    if (opener || !taken_during_update_) {
        taken_during_update_ = why_opened_during_update(opener);
    }
    taken_ = taken_ || opener.has_value();
}

void posix_serial_port::send_block(const unsigned char* data, std::uint32_t length)
{
    const auto deadline =
        transfer_deadline(tempComTimeouts, transfer_direction::write, length, steady::now(), std::nullopt);
    std::uint32_t sent = 0;
    while (sent < length && !taken_) {
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
        short revents = 0;
        const port_wait waited = wait_for(POLLOUT, deadline, revents);
        if (waited == port_wait::failed || waited == port_wait::timed_out ||
            (waited == port_wait::ready && (revents & (POLLERR | POLLHUP | POLLNVAL)) != 0)) {
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
    while (got < REPLY_READ_SIZE && !taken_) {
        const auto limit =
            transfer_deadline(tempComTimeouts, transfer_direction::read, REPLY_READ_SIZE, start, last_byte);
        if (steady::now() >= limit) {
            break;
        }
        short revents = 0;
        const port_wait waited = wait_for(POLLIN, limit, revents);
        if (waited == port_wait::failed) {
            break;
        }
        if (waited != port_wait::ready) {
            continue;
        }
        if ((revents & POLLIN) == 0) {
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

refusal posix_serial_port::line_taken_meanwhile() const
{
    if (comport < 0) {
        return {};
    }
    if (!watch_.armed()) {
        return why_line_was_opened_meanwhile(comport).about(device_);
    }
    // Only the watch is read before the erase frame, never /proc unless it saw an open: a pass
    // over /proc takes hundreds of milliseconds on a busy machine, and a process it has passed
    // may open the line behind it. An opener that has gone again holds nothing; the watch keeps
    // looking during the exchange. The bound only keeps a program that opens the line without
    // end from holding the run here.
    for (int look = 0; look < 16 && watch_.opened_since(); ++look) {
        const refusal why = why_line_was_opened_meanwhile(comport);
        if (why) {
            return why.about(device_);
        }
    }
    return {};
}

refusal posix_serial_port::line_taken_during_update() const { return taken_during_update_.about(device_); }

std::unique_ptr<serial_port> make_platform_port() { return std::make_unique<posix_serial_port>(); }
