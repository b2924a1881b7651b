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

// The reason line shows a name as it was typed where that is safe to put on a terminal, and
// every byte that is not as a backslash and three octal digits.
TEST(SayReason, EscapesWhatATerminalWouldObey)
{
    struct row {
        const char* what;
        std::string name;
        std::string shown;
    };
    const row rows[] = {
        {"valid UTF-8 as typed",
            "pr\xc3\xbc"
            "f-\xc5\x91-\xe6\x97\xa5\xe6\x9c\xac.bin",
            "pr\xc3\xbc"
            "f-\xc5\x91-\xe6\x97\xa5\xe6\x9c\xac.bin"},
        {"C0 and DEL", std::string("a\x1b[2J\x7f\x00", 6), "a\\033[2J\\177"},
        {"CSI as U+009B, the first and the last C1",
            "x\xc2\x9b"
            "2J\xc2\x80\xc2\x9f.bin",
            "x\\302\\233"
            "2J\\302\\200\\302\\237.bin"},
        {"U+00A0 is no control",
            "a\xc2\xa0"
            "b",
            "a\xc2\xa0"
            "b"},
        {"a Latin-1 byte alone", "caf\xe9.bin", "caf\\351.bin"},
        {"a stray continuation byte",
            "a\x9b"
            "b",
            "a\\233b"},
        {"a sequence cut by the end", "a\xe6\x97", "a\\346\\227"},
        {"a sequence cut by an ASCII byte", "\xe6\x97x", "\\346\\227x"},
        {"overlong slash and NUL", "\xc0\xaf\xe0\x80\xaf", "\\300\\257\\340\\200\\257"},
        {"surrogate and past U+10FFFF", "\xed\xa0\x80\xf4\x90\x80\x80", "\\355\\240\\200\\364\\220\\200\\200"},
        {"the largest code point", "\xf4\x8f\xbf\xbf", "\xf4\x8f\xbf\xbf"},
        // A right-to-left override would show the rest of the line backwards.
        {"U+202E, the first and the last embedding, isolates",
            "by-id-\xe2\x80\xae"
            "nib.\xe2\x80\xaa\xe2\x81\xa6\xe2\x81\xa9",
            "by-id-\\342\\200\\256nib.\\342\\200\\252\\342\\201\\246\\342\\201\\251"},
        {"the marks beside them are no controls", "a\xe2\x80\x8f\xe2\x80\xaf\xe2\x81\xa5",
            "a\xe2\x80\x8f\xe2\x80\xaf\xe2\x81\xa5"},
#if !defined(_WIN32)
        {"a typed backslash apart from a real ESC", "a\\033\x1b", "a\\\\033\\033"},
#endif
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.what);
        captured_console con;
        say_reason(r.name.c_str(), "No such file or directory");
        // A reason can carry a name as well: a link's target, another program's.
        say_reason("COM5", ("a link to " + r.name).c_str());
        EXPECT_EQ(con.reasons,
            "tarvolo_updater: " + r.shown + ": No such file or directory\ntarvolo_updater: COM5: a link to " + r.shown +
                "\n");
        EXPECT_EQ(con.output, "") << "reasons never go to standard output";
    }
}

} // namespace
