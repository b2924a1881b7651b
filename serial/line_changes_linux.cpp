#include "serial/line_changes_linux.h"

#include <csignal>
#include <linux/serial.h>
#include <optional>
#include <sys/ioctl.h>

#include "common/signal_relay_posix.h"

namespace {

struct line_changes {
    volatile std::sig_atomic_t fd = -1;
    // Found set: someone else's, or left behind by a program that was killed; not ours to clear.
    volatile std::sig_atomic_t exclusive_found = 0;
#if defined(TIOCGSERIAL) && defined(ASYNC_LOW_LATENCY)
    volatile std::sig_atomic_t low_latency_set = 0;
    serial_struct found_serial{};
#endif
};
line_changes changes;

// Async-signal-safe: only ioctl on the recorded descriptor.
void give_back_recorded()
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
    if (changes.exclusive_found == 0) {
        (void)::ioctl(fd, TIOCNXCL); // fails only on a line that is already gone
    }
    changes.fd = -1;
}

// Signals that end the run while the port is held, Ctrl-C during the transfer among them.
const signal_relay* line_relay = nullptr;
std::optional<signal_relay> line_relay_holder;

extern "C" void give_back_and_pass_on(int sig)
{
    give_back_recorded();
    pass_on_signal(line_relay, sig);
}

// Whether the exclusive flag is set on `fd`. Older kernels, and emulators that do not pass the
// request on, cannot tell: the flag is then taken as clear, as it is on every line nobody else
// holds.
bool exclusive_flag_set(int fd)
{
#if defined(TIOCGEXCL)
    int exclusive = 0;
    return ::ioctl(fd, TIOCGEXCL, &exclusive) == 0 && exclusive != 0;
#else
    (void)fd;
    return false;
#endif
}

} // namespace

bool record_line(int fd)
{
    if (changes.fd >= 0) {
        return false;
    }
    changes.exclusive_found = exclusive_flag_set(fd) ? 1 : 0;
    changes.fd = fd;
    line_relay_holder.emplace(give_back_and_pass_on, line_relay);
    return true;
}

void give_back_line(int fd)
{
    if (changes.fd == fd) {
        give_back_recorded();
        line_relay_holder.reset();
    } else {
        (void)::ioctl(fd, TIOCNXCL); // fails only on a line that is already gone
    }
}

// USB-serial adapters hold received bytes back for their latency timer (16 ms on FTDI), which
// every one of an update's 244 replies would pay. Asking the driver for low latency removes
// that wait.
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
