#include <gtest/gtest.h>

#include <csignal>
#include <iterator>
#include <type_traits>

#include "common/signal_relay_posix.h"

namespace {

using handler = void (*)(int);

// A relay keeps what it found in a fixed room: asking it for more signals than that room holds
// must be refused where it is written, not dropped at run time.
template <std::size_t N>
constexpr bool relay_takes = std::is_constructible_v<signal_relay, handler, const signal_relay*&, const int (&)[N]>;
static_assert(relay_takes<signal_relay::MOST>);
static_assert(!relay_takes<signal_relay::MOST + 1>);

const signal_relay* self = nullptr;
volatile std::sig_atomic_t relayed = 0;
volatile std::sig_atomic_t found_handler_ran = 0;

extern "C" void count_found(int /*sig*/) { found_handler_ran = found_handler_ran + 1; }

extern "C" void relay_on(int sig)
{
    relayed = relayed + 1;
    pass_on_signal(self, sig);
}

TEST(SignalRelay, EverySignalOfAFullRelayReachesItsHandlerAndThenTheOneFound)
{
    // Signals that end nothing in a test run: a handler was there before each.
    const int signals[] = {SIGUSR1, SIGUSR2, SIGWINCH, SIGURG};
    static_assert(std::size(signals) == signal_relay::MOST);
    struct sigaction found { };
    found.sa_handler = count_found;
    (void)sigemptyset(&found.sa_mask);
    struct sigaction before[std::size(signals)]{};
    for (std::size_t i = 0; i < std::size(signals); ++i) {
        ASSERT_EQ(sigaction(signals[i], &found, &before[i]), 0);
    }
    relayed = 0;
    found_handler_ran = 0;
    {
        const signal_relay relay(relay_on, self, signals);
        for (const int sig : signals) {
            ASSERT_EQ(std::raise(sig), 0);
        }
    }
    EXPECT_EQ(self, nullptr);
    EXPECT_EQ(relayed, 4);
    EXPECT_EQ(found_handler_ran, 4);
    for (std::size_t i = 0; i < std::size(signals); ++i) {
        struct sigaction now { };
        ASSERT_EQ(sigaction(signals[i], &before[i], &now), 0);
        EXPECT_EQ(now.sa_handler, count_found) << "the handler found is put back";
    }
}

} // namespace
