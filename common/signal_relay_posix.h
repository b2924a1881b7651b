#pragma once

#include <csignal>
#include <cstddef>
#include <type_traits>

// The signals that end a run by default while the program has something to give back. SIGPIPE
// is not among them: the program ignores it from the start, so that an operator's closed output
// pipe cannot end an update half-way.
constexpr int RUN_ENDING_SIGNALS[] = {SIGHUP, SIGINT, SIGTERM, SIGQUIT};

// Holds the run-ending signals, a stop and a continue (SIGTSTP and SIGCONT, whose handlers must
// find the terminal's record as complete as an ending does) back for as long as it lives; a held
// SIGCONT still continues the process, only its handler waits. A change outside the program and
// its record are made under one, so that a signal finds either both or neither; one that arrives
// meanwhile is delivered when the block ends, to a handler that knows everything. Blocks nest.
class signal_block {
public:
    signal_block();
    ~signal_block();
    signal_block(const signal_block&) = delete;
    signal_block& operator=(const signal_block&) = delete;

private:
    sigset_t previous_{};
    bool blocked_ = false;
};

// Puts a handler in front of the run-ending signals, for as long as the relay lives, so that
// what the program changed outside itself (a raw terminal, a port's flags) is put back first.
// The handler does its own work and then calls pass_on_signal: whatever was there before,
// another relay's handler or the default, then takes the signal, so relays stack and the process
// still ends by that signal. Signals that the process ignores are never caught, not even for an
// instant: they end nothing.
class signal_relay {
public:
    // What a relay can keep of the handlers it found: a handler can reach only what is already in
    // place, so the room is fixed, and a relay asked for more signals does not compile.
    static constexpr std::size_t MOST = 4;

    // `self` is where the handler finds this relay: it is set before any handler is installed and
    // cleared after they are all gone, so that no signal can find it empty. Relays the run-ending
    // signals.
    signal_relay(void (*handler)(int), const signal_relay*& self) : signal_relay(handler, self, RUN_ENDING_SIGNALS) { }
    // Relays `signals` instead, for a relay that is for others, such as a stop.
    template <std::size_t N, typename = std::enable_if_t<(N <= MOST)>>
    signal_relay(void (*handler)(int), const signal_relay*& self, const int (&signals)[N])
        : signal_relay(handler, self, signals, N)
    {
    }
    ~signal_relay();
    signal_relay(const signal_relay&) = delete;
    signal_relay& operator=(const signal_relay&) = delete;

private:
    friend void pass_on_signal(const signal_relay* relay, int sig);

    signal_relay(void (*handler)(int), const signal_relay*& self, const int* signals, std::size_t count);

    struct relayed {
        int sig;
        struct sigaction previous;
    };
    relayed relayed_[MOST]{};
    std::size_t count_ = 0;
    const signal_relay*& self_;
};

// Async-signal-safe; for a relay's handler once its own work is done. Hands `sig` to what
// `relay` found in place, or to the default action when the relay is gone or never took it, so
// that the handler can never be reached again by the signal it passes on.
void pass_on_signal(const signal_relay* relay, int sig);
