#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "support/captured_console.h"

namespace {

TEST(Say, FillsPlaceholdersAtAnyLength)
{
    // The short form fits the fixed room; the long one must be formatted a second time in full.
    const std::string long_name(600, 'n');
    captured_console con;
    say("COM%d opened.\n\n", 123);
    say("%s|%.3d|%.2x", long_name.c_str(), 7, 0xA);
    EXPECT_EQ(con.output, "COM123 opened.\n\n" + long_name + "|007|0a");
}

TEST(ConsoleScope, InnerScopeEndsBackOnTheOuterConsole)
{
    captured_console outer;
    {
        captured_console inner("x");
        say("to inner");
        wait_key();
        EXPECT_EQ(active_console().read_char(), 'x');
        EXPECT_EQ(inner.output, "to inner");
        EXPECT_EQ(inner.keys_waited, 1);
    }
    say("to outer");
    EXPECT_EQ(outer.output, "to outer");
    EXPECT_EQ(outer.keys_waited, 0);
}

TEST(ConsoleScope, WithNoConsoleInstalledNothingWaitsOrReads)
{
    // Lower layers never fall back to the operator's console on their own: without one installed
    // the text goes nowhere, the input is at its end, and a key wait cannot hang.
    say("lost");
    wait_key();
    EXPECT_EQ(active_console().read_char(), EOF);
}

} // namespace
