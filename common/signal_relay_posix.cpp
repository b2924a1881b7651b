#include "common/signal_relay_posix.h"

signal_relay::signal_relay(std::initializer_list<int> signals, void (*handler)(int), const signal_relay*& self)
    : self_(self)
{
    self_ = this;
    struct sigaction action { };
    action.sa_handler = handler;
    (void)sigemptyset(&action.sa_mask);
    for (const int sig : signals) {
        if (count_ == MOST) {
            break;
        }
        relayed& entry = relayed_[count_];
        entry.sig = sig;
        // Without the handler the signal ends the process as before, leaving the change in place.
        if (sigaction(sig, &action, &entry.previous) != 0) {
            continue;
        }
        if (entry.previous.sa_handler == SIG_IGN) {
            (void)sigaction(sig, &entry.previous, nullptr); // puts the ignore back as it was
            continue;
        }
        ++count_;
    }
}

signal_relay::~signal_relay()
{
    for (std::size_t i = 0; i < count_; ++i) {
        (void)sigaction(relayed_[i].sig, &relayed_[i].previous, nullptr); // puts back what was there
    }
    self_ = nullptr;
}

void signal_relay::pass_on(int sig) const
{
    for (std::size_t i = 0; i < count_; ++i) {
        if (relayed_[i].sig == sig) {
            (void)sigaction(sig, &relayed_[i].previous, nullptr);
        }
    }
    // Blocked while its handler runs, the signal arrives again as soon as the handler returns.
    (void)std::raise(sig);
}
