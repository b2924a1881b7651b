#include <gtest/gtest.h>

#include <chrono>
#include <poll.h>
#include <string>
#include <termios.h>
#include <thread>
#include <unistd.h>

#include "app/raw_key_posix.h"
#include "support/pty.h"

namespace {

using namespace std::chrono_literals;

// Whatever the terminal still holds for a reader, without waiting for more.
std::string left_on(int fd)
{
    std::string left;
    pollfd waiter{fd, POLLIN, 0};
    while (poll(&waiter, 1, 100) > 0 && (waiter.revents & POLLIN) != 0) {
        char c = 0;
        if (read(fd, &c, 1) != 1) {
            break;
        }
        left += c;
    }
    return left;
}

TEST(RawKey, EachWaitTakesExactlyOneKey)
{
    struct row {
        const char* what;
        std::string typed;
        std::string left;
        int waits = 1;
    };
    const row rows[] = {
        {"letter", "k", ""},
        {"two letters", "ab", "b"},
        {"interrupt key", "\x03", ""},
        {"enter", "\r", ""},
        {"arrow up then a letter",
            "\x1b[A"
            "y",
            "y"},
        {"F1 (SS3)", "\x1bOP", ""},
        {"F5 with parameters",
            "\x1b[15~"
            "z",
            "z"},
        {"Alt with a key", "\x1bx", ""},
        {"escape alone", "\x1b", ""},
        {"e acute (two UTF-8 bytes) then a letter",
            "\xc3\xa9"
            "y",
            "y"},
        {"euro sign (three UTF-8 bytes)", "\xe2\x82\xac", ""},
        {"emoji (four UTF-8 bytes) then a letter",
            "\xf0\x9f\x98\x80"
            "w",
            "w"},
        {"Alt with e acute",
            "\x1b\xc3\xa9"
            "z",
            "z"},
        {"stray continuation byte is a key of its own",
            "\x80"
            "m",
            "m"},
        // A byte that breaks a character starts the next key: had the first wait swallowed it,
        // the second would take the byte after it.
        {"letter after a lone lead byte", "\xc3x!", "!", 2},
        {"letter inside a four-byte character",
            "\xf0"
            "abc",
            "bc", 2},
        {"escape sequence after a lone lead byte", "\xe2\x1b[Az", "z", 2},
        {"XOFF is a key too",
            "\x13"
            "q",
            "q"},
    };
    for (const auto& r : rows) {
        pty_pair tty;
        // Raw beforehand, so that what is left can be read back without a line end.
        make_raw(tty.slave);
        ASSERT_TRUE(write_all(tty.master, r.typed));
        for (int i = 0; i < r.waits; ++i) {
            wait_raw_key_on_terminal(tty.slave);
        }
        EXPECT_EQ(left_on(tty.slave), r.left) << r.what;
    }
}

TEST(RawKey, SettingsComeBackAndNothingIsEchoed)
{
    pty_pair tty;
    termios before{};
    ASSERT_EQ(tcgetattr(tty.slave, &before), 0);
    ASSERT_NE(before.c_lflag & ECHO, 0U);
    std::thread waiter([&] { wait_raw_key_on_terminal(tty.slave); });
    // A key typed before the wait is echoed by the terminal itself; type only once it is raw.
    termios during{};
    for (int i = 0; i < 200 && tcgetattr(tty.slave, &during) == 0 && (during.c_lflag & ECHO) != 0; ++i) {
        std::this_thread::sleep_for(5ms);
    }
    EXPECT_EQ(during.c_lflag & (ECHO | ICANON | ISIG), 0U);
    ASSERT_TRUE(write_all(tty.master, "s"));
    waiter.join();

    termios after{};
    ASSERT_EQ(tcgetattr(tty.slave, &after), 0);
    EXPECT_EQ(after.c_lflag, before.c_lflag);
    EXPECT_EQ(after.c_iflag, before.c_iflag);
    EXPECT_EQ(after.c_cc[VMIN], before.c_cc[VMIN]);
    EXPECT_EQ(read_for(tty.master, 200ms, 1s), "") << "the key must not be echoed";
}

TEST(RawKey, KeyTypedBeforeTheWaitCounts)
{
    // Typed while the terminal was still line-buffered and nobody was reading.
    pty_pair tty;
    ASSERT_TRUE(write_all(tty.master, "e"));
    std::this_thread::sleep_for(50ms);
    const auto start = std::chrono::steady_clock::now();
    wait_raw_key_on_terminal(tty.slave);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);
}

TEST(RawKey, WaitBlocksUntilAKeyComes)
{
    pty_pair tty;
    bool done = false;
    std::thread waiter([&] {
        wait_raw_key_on_terminal(tty.slave);
        done = true;
    });
    std::this_thread::sleep_for(300ms);
    const bool done_before_key = done;
    ASSERT_TRUE(write_all(tty.master, "g"));
    waiter.join();
    EXPECT_FALSE(done_before_key);
    EXPECT_TRUE(done);
}

TEST(RawKey, NoTerminalEndsTheWaitAtOnce)
{
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    const auto start = std::chrono::steady_clock::now();
    wait_raw_key_on_terminal(fds[0]);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);
    close(fds[0]);
    close(fds[1]);
}

} // namespace
