#include "pty_link.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

namespace emu {
namespace {

constexpr long long BITS_PER_BYTE = 10; // start + 8 data + stop
// The host reads the final acknowledgement at once and then leaves; one that keeps the line
// open (waiting at its exit prompt for a key) has long read it by then.
constexpr auto DRAIN_LIMIT = std::chrono::milliseconds(3000);

volatile std::sig_atomic_t caught_signal = 0;
int wake_pipe[2] = {-1, -1};

extern "C" void on_signal(int number)
{
    const int saved = errno;
    caught_signal = number;
    const char byte = 0;
    // Nothing useful can be done if the pipe is full: the poller is awake anyway.
    (void)!::write(wake_pipe[1], &byte, 1);
    errno = saved;
}

bool set_flags(int fd, int fd_flags, int status_flags)
{
    const int fdf = ::fcntl(fd, F_GETFD);
    const int stf = ::fcntl(fd, F_GETFL);
    return fdf >= 0 && stf >= 0 && ::fcntl(fd, F_SETFD, fdf | fd_flags) == 0 &&
        ::fcntl(fd, F_SETFL, stf | status_flags) == 0;
}

bool install_signal_handlers()
{
    struct sigaction action { };
    action.sa_handler = on_signal; // no SA_RESTART: every wait must wake up and see the signal
    struct sigaction ignore { };
    ignore.sa_handler = SIG_IGN;
    return ::pipe(wake_pipe) == 0 && set_flags(wake_pipe[0], FD_CLOEXEC, O_NONBLOCK) &&
        set_flags(wake_pipe[1], FD_CLOEXEC, O_NONBLOCK) && ::sigemptyset(&action.sa_mask) == 0 &&
        ::sigemptyset(&ignore.sa_mask) == 0 && ::sigaction(SIGTERM, &action, nullptr) == 0 &&
        ::sigaction(SIGINT, &action, nullptr) == 0 && ::sigaction(SIGHUP, &action, nullptr) == 0 &&
        ::sigaction(SIGPIPE, &ignore, nullptr) == 0;
}

// What a factory-fresh Windows COM port looks like from the host: binary,
// 8N1, no software or hardware flow control, nothing translated.
bool set_raw(int fd)
{
    termios t{};
    if (::tcgetattr(fd, &t) != 0) {
        return false;
    }
    t.c_iflag &= ~static_cast<tcflag_t>(
        IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON | IXOFF | IXANY | INPCK);
    t.c_oflag &= ~static_cast<tcflag_t>(OPOST);
    t.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
    t.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | CSTOPB);
#ifdef CRTSCTS
    t.c_cflag &= ~static_cast<tcflag_t>(CRTSCTS);
#endif
    t.c_cflag |= CS8 | CREAD | CLOCAL;
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
    if (::cfsetispeed(&t, B9600) != 0 || ::cfsetospeed(&t, B9600) != 0) {
        return false;
    }
    return ::tcsetattr(fd, TCSANOW, &t) == 0;
}

timespec to_poll_timeout(emulator_clock::duration d)
{
    const auto ns = std::max<long long>(0, std::chrono::duration_cast<std::chrono::nanoseconds>(d).count());
    timespec ts{};
    ts.tv_sec = static_cast<time_t>(ns / 1000000000);
    ts.tv_nsec = static_cast<long>(ns % 1000000000);
    return ts;
}

} // namespace

pty_link::~pty_link()
{
    if (published_) {
        char target[4096];
        const ssize_t n = ::readlink(link_path_.c_str(), target, sizeof target - 1);
        // Another emulator may have taken the name over meanwhile: leave its link alone.
        if (n > 0 && std::string(target, static_cast<std::size_t>(n)) == slave_path_ &&
            ::unlink(link_path_.c_str()) != 0) {
            std::fprintf(
                stderr, "tarvolo_loader_emulator: cannot remove %s: %s\n", link_path_.c_str(), std::strerror(errno));
        }
    }
    for (const int fd : {master_, line_events_}) {
        if (fd >= 0 && ::close(fd) != 0) {
            std::fprintf(stderr, "tarvolo_loader_emulator: close: %s\n", std::strerror(errno));
        }
    }
}

bool pty_link::open(std::string& error)
{
    if (!install_signal_handlers()) {
        error = std::string("cannot set up signal handling: ") + std::strerror(errno);
        return false;
    }
    master_ = ::posix_openpt(O_RDWR | O_NOCTTY);
    if (master_ < 0 || ::grantpt(master_) != 0 || ::unlockpt(master_) != 0) {
        error = std::string("cannot create a pseudo-terminal: ") + std::strerror(errno);
        return false;
    }
    const char* name = ::ptsname(master_);
    if (name == nullptr) {
        error = std::string("ptsname: ") + std::strerror(errno);
        return false;
    }
    slave_path_ = name;
    // Linux applies termios calls made on the master to the slave, whose
    // settings then last as long as the master, so the line is set up without
    // ever opening it. A slave opened and closed here would leave the master
    // reporting a hang-up until the host came.
    const bool set_up = set_flags(master_, FD_CLOEXEC, O_NONBLOCK) && (options_.posix_defaults || set_raw(master_));
    if (!set_up) {
        error = std::string("cannot set up the pseudo-terminal: ") + std::strerror(errno);
        return false;
    }
    epoll_event watched{};
    watched.events = EPOLLIN | EPOLLET;
    line_events_ = ::epoll_create1(EPOLL_CLOEXEC);
    if (line_events_ < 0 || ::epoll_ctl(line_events_, EPOLL_CTL_ADD, master_, &watched) != 0) {
        error = std::string("cannot watch the pseudo-terminal: ") + std::strerror(errno);
        return false;
    }
    return publish(error);
}

bool pty_link::publish(std::string& error)
{
    link_path_ = options_.com_dir + "/com" + std::to_string(options_.port);
    struct stat st { };
    if (::lstat(link_path_.c_str(), &st) == 0 && !S_ISLNK(st.st_mode)) {
        error = link_path_ + " exists and is not a symbolic link; not replacing it";
        return false;
    }
    // Link under a private name, then rename: a stale link is replaced atomically.
    const std::string temp =
        options_.com_dir + "/.com" + std::to_string(options_.port) + "." + std::to_string(::getpid()) + ".tmp";
    if (::symlink(slave_path_.c_str(), temp.c_str()) != 0) {
        error = "cannot create a link in " + options_.com_dir + ": " + std::strerror(errno);
        return false;
    }
    if (::rename(temp.c_str(), link_path_.c_str()) != 0) {
        error = "cannot create " + link_path_ + ": " + std::strerror(errno);
        if (::unlink(temp.c_str()) != 0) {
            error += std::string(" (and cannot remove ") + temp + ": " + std::strerror(errno) + ")";
        }
        return false;
    }
    published_ = true;
    return true;
}

// The signal is recorded process-wide, but it is the link that caught it that is asked.
int pty_link::signal_number() const // NOLINT(readability-convert-member-functions-to-static)
{
    return static_cast<int>(caught_signal);
}

emulator_clock::duration pty_link::wire_time(std::size_t size) const
{
    if (options_.baud <= 0) {
        return emulator_clock::duration::zero();
    }
    const auto bits = static_cast<long long>(size) * BITS_PER_BYTE;
    return std::chrono::duration_cast<emulator_clock::duration>(
        std::chrono::nanoseconds(bits * 1000000000LL / options_.baud));
}

wait_result pty_link::fail(const char* what)
{
    io_error_ = std::string(what) + ": " + std::strerror(errno);
    return wait_result::error;
}

// A master reports a hang-up for as long as no slave is open, which before the
// host's first byte only means that the host has not come yet (or came and
// went without a word: a run refused before the update). The hang-up is
// level-triggered and would never let a wait sleep, so the wait moves to the
// edge-triggered watch, which wakes on the next bytes or the next close.
// Events already pending are taken first and the master looked at again after,
// so that nothing the host does in between is missed.
bool pty_link::watch_for_the_host()
{
    epoll_event event{};
    int n = 0;
    while ((n = ::epoll_wait(line_events_, &event, 1, 0)) > 0) { }
    pollfd line{master_, POLLIN, 0};
    if (n < 0 || ::poll(&line, 1, 0) < 0) {
        return false;
    }
    awaiting_host_ = (line.revents & POLLHUP) != 0 && (line.revents & POLLIN) == 0;
    return true;
}

// Waits for `events` on fd (or only for a signal when fd < 0) until deadline.
wait_result pty_link::poll_until(int fd, short events, emulator_clock::time_point deadline)
{
    for (;;) {
        if (caught_signal != 0) {
            return wait_result::signal;
        }
        const auto now = emulator_clock::now();
        if (deadline != emulator_clock::time_point::max() && now >= deadline) {
            return wait_result::deadline;
        }
        const bool on_watch = fd == master_ && awaiting_host_;
        pollfd fds[2] = {
            {wake_pipe[0], POLLIN, 0}, {on_watch ? line_events_ : fd, on_watch ? short{POLLIN} : events, 0}};
        const timespec timeout = to_poll_timeout(deadline - now);
        const int n =
            ::ppoll(fds, fd >= 0 ? 2 : 1, deadline == emulator_clock::time_point::max() ? nullptr : &timeout, nullptr);
        if (n < 0 && errno != EINTR) {
            return fail("poll");
        }
        if (n <= 0 || fd < 0 || fds[1].revents == 0) {
            continue;
        }
        if (on_watch) {
            awaiting_host_ = false; // something happened on the line: look at the master again
        } else if ((fds[1].revents & events) != 0) {
            return wait_result::done;
        } else if (fd != master_ || host_heard_) {
            return wait_result::hangup;
        } else if (!watch_for_the_host()) {
            return fail("watching the line");
        }
    }
}

wait_result pty_link::sleep_until(emulator_clock::time_point when)
{
    const wait_result w = poll_until(-1, 0, when);
    return w == wait_result::deadline ? wait_result::done : w;
}

wait_result pty_link::sleep_for(std::chrono::milliseconds time) { return sleep_until(emulator_clock::now() + time); }

wait_result pty_link::read_block(std::size_t size, emulator_clock::time_point deadline)
{
    if (master_ < 0) {
        return wait_result::hangup;
    }
    while (block_.size() < size) {
        // The host is only "idle" when it owes us bytes, not while the device works.
        auto until = deadline;
        const bool idle_applies = options_.idle_timeout_ms > 0 && deadline == emulator_clock::time_point::max();
        if (idle_applies) {
            until = last_activity_ + std::chrono::milliseconds(options_.idle_timeout_ms);
        }
        const wait_result w = poll_until(master_, POLLIN, until);
        if (w == wait_result::deadline) {
            return idle_applies ? wait_result::idle : wait_result::deadline;
        }
        if (w != wait_result::done) {
            return w;
        }
        std::uint8_t buffer[PAGE_SIZE + 2];
        const std::size_t want = std::min(size - block_.size(), sizeof buffer);
        const ssize_t n = ::read(master_, buffer, want);
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
            continue;
        }
        if (n < 0 && errno != EIO) {
            return fail("read");
        }
        if (n <= 0) {
            return wait_result::hangup;
        }
        host_heard_ = true;
        if (block_.empty()) {
            block_first_ = emulator_clock::now();
        }
        last_activity_ = emulator_clock::now();
        block_.insert(block_.end(), buffer, buffer + n);
        received_ += static_cast<std::uint64_t>(n);
    }
    if (options_.baud > 0) {
        rx_wire_end_ = std::max(block_first_, rx_wire_end_) + wire_time(size);
        return sleep_until(rx_wire_end_);
    }
    return wait_result::done;
}

wait_result pty_link::send(const std::uint8_t* data, std::size_t size)
{
    if (master_ < 0) {
        return wait_result::hangup;
    }
    if (options_.baud > 0) {
        // The host sees the bytes when the last one would have left a real UART.
        tx_wire_end_ = std::max(emulator_clock::now(), tx_wire_end_) + wire_time(size);
        const wait_result w = sleep_until(tx_wire_end_);
        if (w != wait_result::done) {
            return w;
        }
    }
    std::size_t done = 0;
    while (done < size) {
        const ssize_t n = ::write(master_, data + done, size - done);
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
            const wait_result w = poll_until(master_, POLLOUT, emulator_clock::time_point::max());
            if (w != wait_result::done) {
                return w;
            }
            continue;
        }
        if (n < 0) {
            return errno == EIO ? wait_result::hangup : fail("write");
        }
        done += static_cast<std::size_t>(n);
        sent_ += static_cast<std::uint64_t>(n);
    }
    last_activity_ = emulator_clock::now();
    return wait_result::done;
}

wait_result pty_link::drain()
{
    if (master_ < 0) {
        return wait_result::done;
    }
    // No events asked for: only the hang-up of the host's last close ends the wait.
    const wait_result w = poll_until(master_, 0, emulator_clock::now() + DRAIN_LIMIT);
    return w == wait_result::hangup ? wait_result::done : w;
}

bool pty_link::hang_up(std::string& error)
{
    if (master_ < 0) {
        return true;
    }
    const int fd = master_;
    master_ = -1;
    if (::close(fd) != 0) {
        error = std::string("closing the pseudo-terminal: ") + std::strerror(errno);
        return false;
    }
    return true;
}

} // namespace emu
