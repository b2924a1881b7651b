#include "common/signal_relay_posix.h"

#include <pthread.h>

namespace {

sigset_t held_signals()
{
    sigset_t set;
    (void)sigemptyset(&set);
    for (const int sig : RUN_ENDING_SIGNALS) {
        (void)sigaddset(&set, sig); // valid signal numbers: cannot fail
    }
    (void)sigaddset(&set, SIGTSTP);
    (void)sigaddset(&set, SIGCONT);
    return set;
}

} // namespace

signal_block::signal_block()
{
    const sigset_t set = held_signals();
    // Fails only for an invalid argument; without the block the windows stay as they were.
    blocked_ = pthread_sigmask(SIG_BLOCK, &set, &previous_) == 0;
}

signal_block::~signal_block()
{
    if (blocked_) {
        (void)pthread_sigmask(SIG_SETMASK, &previous_, nullptr); // the mask as found: cannot fail
    }
}

signal_relay::signal_relay(void (*handler)(int), const signal_relay*& self, const int* signals, std::size_t count)
    : self_(self)
{
    const signal_block hold;
    self_ = this;
    struct sigaction action { };
    action.sa_handler = handler;
    (void)sigemptyset(&action.sa_mask);
    for (std::size_t i = 0; i < count; ++i) {
        const int sig = signals[i];
        relayed& entry = relayed_[count_];
        // Read first: an ignored signal must never meet the handler, and the entry must be
        // complete before the handler can be reached.
        if (sigaction(sig, nullptr, &entry.previous) != 0 || entry.previous.sa_handler == SIG_IGN) {
            continue;
        }
        entry.sig = sig;
        ++count_;
        if (sigaction(sig, &action, nullptr) != 0) {
            --count_; // without the handler the signal ends the process as before
        }
    }
}

signal_relay::~signal_relay()
{
    const signal_block hold;
    for (std::size_t i = 0; i < count_; ++i) {
        (void)sigaction(relayed_[i].sig, &relayed_[i].previous, nullptr); // puts back what was there
    }
    self_ = nullptr;
}

void pass_on_signal(const signal_relay* relay, int sig)
{
    struct sigaction next { };
    next.sa_handler = SIG_DFL;
    (void)sigemptyset(&next.sa_mask);
    if (relay != nullptr) {
        for (std::size_t i = 0; i < relay->count_; ++i) {
            if (relay->relayed_[i].sig == sig) {
                next = relay->relayed_[i].previous;
            }
        }
    }
    (void)sigaction(sig, &next, nullptr);
    // Blocked while its handler runs, the signal arrives again as soon as the handler returns.
    (void)std::raise(sig);
}
