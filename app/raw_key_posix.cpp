#include "app/raw_key_posix.h"

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <optional>
#include <poll.h>
#include <pthread.h>
#include <termios.h>
#include <unistd.h>

#include "app/key_decoder.h"
#include "app/raw_key.h"
#include "common/signal_relay_posix.h"

namespace {

// The bytes of one escape sequence or character arrive together from the terminal; a lone Escape key is
// followed by nothing for much longer than this.
constexpr int SEQUENCE_GAP_MS = 50;

// How often a wait sent on in the background looks whether it is in front again: `fg` brings a
// running job to the front without a signal.
constexpr int BACKGROUND_LOOK_MS = 200;

// The terminal while a wait has it raw, -1 otherwise; with the settings it was found with and
// the raw ones.
volatile std::sig_atomic_t raw_fd = -1;
termios saved_settings{};
termios raw_settings{};

// A stop and a continue each have a relay of their own, beside the one for the run-ending signals.
constexpr int STOP_SIGNALS[] = {SIGTSTP};
constexpr int CONTINUE_SIGNALS[] = {SIGCONT};
const signal_relay* terminal_relay = nullptr;
const signal_relay* stop_relay = nullptr;
const signal_relay* continue_relay = nullptr;

// Async-signal-safe. A run moved to the background (stopped, then `bg`) must leave the terminal
// to the shell now in front: its settings are the shell's business, and a write from the
// background would stop the run again with SIGTTOU.
bool in_background(int fd)
{
    const pid_t front = ::tcgetpgrp(fd);
    return front > 0 && front != ::getpgrp();
}

void set_terminal_if_in_front(const termios& settings)
{
    const int fd = raw_fd;
    if (fd >= 0 && !in_background(fd)) {
        (void)::tcsetattr(fd, TCSANOW, &settings); // best effort in a handler
    }
}

extern "C" void restore_and_pass_on(int sig)
{
    set_terminal_if_in_front(saved_settings);
    pass_on_signal(terminal_relay, sig); // the serial port's handler gives the line back next
}

// A stop (`kill -TSTP`; the key itself is no signal while raw) leaves the terminal as found for
// the shell that takes it back, as full-screen programs do, and then stops for real.
extern "C" void restore_and_stop(int sig)
{
    const int saved_errno = errno;
    set_terminal_if_in_front(saved_settings);
    struct sigaction stop { };
    stop.sa_handler = SIG_DFL;
    (void)sigemptyset(&stop.sa_mask);
    struct sigaction ours { };
    (void)sigaction(sig, &stop, &ours);
    (void)::kill(::getpid(), sig); // held back until the mask below lets it through
    sigset_t just_this;
    (void)sigemptyset(&just_this);
    (void)sigaddset(&just_this, sig);
    (void)pthread_sigmask(SIG_UNBLOCK, &just_this, nullptr); // stops here until continued
    (void)pthread_sigmask(SIG_BLOCK, &just_this, nullptr);
    (void)sigaction(sig, &ours, nullptr); // the next stop finds this handler again
    errno = saved_errno;
    // The wait, interrupted, takes the terminal back (wait_in_front).
}

// A stop that cannot be caught (SIGSTOP from a debugger, a supervisor or a script) leaves the
// terminal raw for the shell, which puts its own settings on it; only the continue can be seen.
// Continued in front, the wait takes the terminal back at once; continued in the background it
// leaves it alone, and wait_in_front takes it back once it is in front again. A continue is not
// passed on: its default action, the continue itself, has already been taken.
extern "C" void raw_again_if_in_front(int /*sig*/)
{
    const int saved_errno = errno;
    set_terminal_if_in_front(raw_settings);
    errno = saved_errno;
}

// After a signal that did not end the run, a stop above all: the shell has had the terminal
// meanwhile and put its own settings on it. A run continued in the background (`bg`) leaves them
// alone, and reads nothing, which would stop it again (SIGTTIN), until it is in front again.
void wait_in_front(int fd)
{
    while (in_background(fd)) {
        (void)::poll(nullptr, 0, BACKGROUND_LOOK_MS);
    }
    const signal_block hold; // a stop now would find raw settings not yet recorded as put on
    set_terminal_if_in_front(raw_settings);
}

// A byte read as part of one key that turned out to start the next (a letter typed after a
// broken UTF-8 character): it belongs to the next wait on the same terminal, not to the bin.
struct kept_byte {
    int fd = -1;
    unsigned char byte = 0;
};
kept_byte kept;

// Reads one byte, waiting at most `timeout_ms` (-1: without limit). False when none came.
bool read_byte(int fd, unsigned char& byte, int timeout_ms)
{
    for (;;) {
        pollfd waiter{fd, POLLIN, 0};
        const int ready = ::poll(&waiter, 1, timeout_ms);
        if (ready < 0 && errno == EINTR) {
            wait_in_front(fd);
            continue;
        }
        if (ready <= 0 || (waiter.revents & POLLIN) == 0) {
            return false;
        }
        const ssize_t n = ::read(fd, &byte, 1);
        if (n == 1) {
            return true;
        }
        if (n < 0 && errno == EINTR) {
            wait_in_front(fd);
            continue;
        }
        if (n < 0 && errno == EAGAIN) {
            continue;
        }
        return false;
    }
}

// The first byte of the next key: one kept from the last wait on this terminal, or one typed.
bool first_byte(int fd, unsigned char& byte)
{
    if (kept.fd == fd) {
        byte = kept.byte;
        kept.fd = -1;
        return true;
    }
    kept.fd = -1; // kept for another terminal, which this wait does not read
    return read_byte(fd, byte, -1);
}

// Reads the bytes of one key press; a byte that turns out to start the next key is kept for it.
void take_one_key(int fd)
{
    unsigned char byte = 0;
    if (!first_byte(fd, byte)) {
        return;
    }
    key_decoder key;
    key_byte step = key.take(byte);
    while (step == key_byte::more && read_byte(fd, byte, SEQUENCE_GAP_MS)) {
        step = key.take(byte);
    }
    if (step == key_byte::next_key) {
        kept = {fd, byte};
    }
}

} // namespace

void wait_raw_key_on_terminal(int fd)
{
    termios previous{};
    if (::tcgetattr(fd, &previous) != 0) {
        return; // not a terminal: nobody can press a key
    }
    termios raw = previous;
    raw.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO | ECHONL | ISIG | IEXTEN);
    // Ctrl-S and Ctrl-Q are keys too, and Enter must arrive as itself.
    raw.c_iflag &= ~static_cast<tcflag_t>(IXON | ICRNL | INLCR | IGNCR);
    raw.c_cc[VMIN] = 1;
    raw.c_cc[VTIME] = 0;

    std::optional<signal_relay> relay;
    std::optional<signal_relay> on_stop;
    std::optional<signal_relay> on_continue;
    bool is_raw = false;
    {
        // Recorded before the change, both under one block: a signal finds the found settings
        // and a handler to put them back, whichever instant it comes at.
        const signal_block hold;
        saved_settings = previous;
        raw_settings = raw;
        raw_fd = fd;
        relay.emplace(restore_and_pass_on, terminal_relay);
        on_stop.emplace(restore_and_stop, stop_relay, STOP_SIGNALS);
        on_continue.emplace(raw_again_if_in_front, continue_relay, CONTINUE_SIGNALS);
        // TCSANOW, not TCSAFLUSH: a key typed while the program was busy must count.
        is_raw = ::tcsetattr(fd, TCSANOW, &raw) == 0;
    }
    if (is_raw) {
        take_one_key(fd);
    }
    const signal_block hold;
    // Restoring cannot be helped if it fails; the terminal is then left as the shell finds it.
    // A run that was moved to the background finds it as the shell left it, and leaves it so.
    if (!in_background(fd)) {
        (void)::tcsetattr(fd, TCSANOW, &previous);
    }
    on_continue.reset();
    on_stop.reset();
    relay.reset();
    raw_fd = -1;
}

void wait_raw_key()
{
    // The controlling terminal, not standard input: an Enter already read into standard input
    // must not count, and the wait must work when standard input is redirected. Held open for
    // the run, so that a byte kept from one wait is found by the next on the same descriptor.
    static const int fd = ::open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        return; // no terminal: the wait ends at once
    }
    wait_raw_key_on_terminal(fd);
}

// A signal ends the run by its own default action once the key wait and the port have put back
// what they changed: whoever started the run sees the signal, never a success.
void end_run_on_interrupt() { }
