#pragma once

#include <csignal>
#include <cstddef>
#include <initializer_list>

// Puts a handler in front of the signals that would end the process, for as long as the relay
// lives, so that what the program changed outside itself (a raw terminal, a port's flags) is put
// back first. The handler does its own work and then calls pass_on: whatever was there before,
// another relay's handler or the default, then takes the signal, so relays stack and the process
// still ends by that signal. Signals that the process ignores are left ignored: they end nothing.
class signal_relay {
public:
    // `self` is where the handler finds this relay: it is set before the handler is installed and
    // cleared after it is gone, so that no signal can find it empty.
    signal_relay(std::initializer_list<int> signals, void (*handler)(int), const signal_relay*& self);
    ~signal_relay();
    signal_relay(const signal_relay&) = delete;
    signal_relay& operator=(const signal_relay&) = delete;

    // Async-signal-safe; for the handler, once its own work is done.
    void pass_on(int sig) const;

private:
    struct relayed {
        int sig;
        struct sigaction previous;
    };
    static constexpr std::size_t MOST = 8;
    relayed relayed_[MOST]{};
    std::size_t count_ = 0;
    const signal_relay*& self_;
};
