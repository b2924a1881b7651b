#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <termios.h>
#include <thread>
#include <unistd.h>

#include "support/emulator.h"
#include "support/expected_text.h"
#include "support/process.h"
#include "support/pty.h"
#include "support/temp_dir.h"

namespace {

using namespace std::chrono_literals;

const std::string erase_frame("\x1E\x00\x00\x00\x00\x03\x00", 7);
const std::string erase_refusal("\x1E\x01\x00\x00\x00\x00\x00\x04", 8);

// Wine's console draws the program's text with cursor and erase sequences of its own, breaks
// lines its own way and draws a trailing space as a cursor move. What can be compared is the
// characters drawn, in order, without those sequences, line breaks and spaces.
std::string drawn_characters(const std::string& screen)
{
    std::string drawn;
    for (std::size_t i = 0; i < screen.size(); ++i) {
        if (screen[i] == '\x1b' && i + 1 < screen.size() && screen[i + 1] == '[') {
            i += 2;
            while (i < screen.size() && (screen[i] < '\x40' || screen[i] > '\x7e')) {
                ++i;
            }
        } else if (screen[i] != '\r' && screen[i] != '\n' && screen[i] != ' ') {
            drawn += screen[i];
        }
    }
    return drawn;
}

// Until wine's console has the terminal, the line discipline still holds what is typed and turns
// Enter into a line feed, which the console then takes as Ctrl-J. Wine leaves ISIG on (Ctrl-C
// stays an interrupt), so only echo and line editing tell that it has taken over.
bool wait_for_wine_console(int fd, std::chrono::milliseconds timeout)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        termios now{};
        if (tcgetattr(fd, &now) == 0 && (now.c_lflag & (ECHO | ICANON)) == 0) {
            return true;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(5ms);
    }
}

// The device's end of the line, linked as COM port `number` in the wine prefix for as long as the
// case runs.
struct linked_port {
    linked_port(const std::string& dosdevices, int number) : link(dosdevices + "/com" + std::to_string(number))
    {
        make_raw(line.master);
        (void)unlink(link.c_str()); // left by an earlier run that was killed
        linked = symlink(line.slave_path.c_str(), link.c_str()) == 0;
    }
    ~linked_port() { (void)unlink(link.c_str()); }
    linked_port(const linked_port&) = delete;
    linked_port& operator=(const linked_port&) = delete;

    pty_pair line;
    std::string link;
    bool linked = false;
};

// The .exe under wine at a terminal, as an operator runs it from a shell: wine gives it a console
// fed by the terminal, whose keys come as a press and a release each. Only the press may count,
// or the release of the start key would end the exit wait before the result is read.
TEST(UpdaterInWineConsole, KeyWaitsTakeOneKeyPressEach)
{
    const updater_under_test updater;
    if (updater.wine_exe.empty()) {
        GTEST_SKIP() << "the console key wait of the Windows build: set TARVOLO_E2E_WINE_EXE";
    }
    struct row {
        const char* what;
        int port; // a port of its own: cases of other tests share the prefix and run side by side
        std::string start_key;
        std::string exit_key;
    };
    const row rows[] = {
        // The arrow comes as one escape sequence, which the console turns into one key without a
        // character.
        {"letter, then an arrow key", 61, "k", "\x1b[A"},
        // Typed at a UTF-8 terminal, each is one key of one character.
        {"e acute, then the euro sign", 62, "\xc3\xa9", "\xe2\x82\xac"},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.what);
        temp_dir dir;
        const std::string image = dir.write_file("fw.bin", sample_image());
        const linked_port device(updater.com_dir(dir.path), r.port);
        ASSERT_TRUE(device.linked) << device.link;

        process_options options = updater.options(dir.path);
        // The console decodes what is typed by the locale's character set, as the terminal's is.
        options.set_env.emplace_back("LC_ALL", "C.UTF-8");
        pty_pair console;
        child_process run = child_process::start_on_terminal(options, console);

        const std::string to_port = read_until(console.master, "of the connected Tarvolo:", 30s);
        EXPECT_EQ(drawn_characters(to_port), drawn_characters(expected::banner + expected::port_question));
        ASSERT_TRUE(wait_for_wine_console(console.slave, 10s)) << to_port;
        ASSERT_TRUE(write_all(console.master, std::to_string(r.port) + "\r"));
        const std::string to_file = read_until(console.master, "TVL_V6_FW_V3_7_2.bin):", 10s);
        EXPECT_EQ(drawn_characters(to_file),
            drawn_characters(std::to_string(r.port) + expected::port_opened(r.port) + expected::file_question));
        ASSERT_TRUE(write_all(console.master, image + "\r"));
        // The rest of the prompt, then a second in which nothing may happen.
        std::string to_start = read_until(console.master, "Press any key to start firmware update ...", 10s);
        to_start += read_for(console.master, 1s, 3s);
        // A name that runs past the end of the line has the console draw the question again.
        const std::string start_drawn = drawn_characters(image + expected::loaded() + expected::start_prompt);
        const std::string drawn = drawn_characters(to_start);
        EXPECT_TRUE(drawn.size() >= start_drawn.size() &&
            drawn.compare(drawn.size() - start_drawn.size(), start_drawn.size(), start_drawn) == 0)
            << drawn;
        EXPECT_EQ(read_for(device.line.master, 100ms, 200ms), "") << "sent to the device before the start key";
        ASSERT_TRUE(run.running());

        // One key starts the update; the device refuses the erase, which ends it.
        ASSERT_TRUE(write_all(console.master, r.start_key));
        EXPECT_EQ(read_until(device.line.master, erase_frame, 10s), erase_frame);
        ASSERT_TRUE(write_all(device.line.master, erase_refusal));
        const std::string result = read_until(console.master, expected::exit_prompt, 30s);
        EXPECT_EQ(drawn_characters(result),
            drawn_characters(expected::erasing + expected::no_erase_response + expected::exit_prompt))
            << "the start key was echoed, or the output differs";

        // The exit prompt waits for a key of its own, however long the operator takes to read.
        std::this_thread::sleep_for(2s);
        EXPECT_TRUE(run.running()) << "the run ended without waiting at the exit prompt";
        ASSERT_TRUE(write_all(console.master, r.exit_key));
        EXPECT_EQ(run.wait(10s), 1);
    }
}

} // namespace
