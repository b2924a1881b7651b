#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <sys/stat.h>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "support/emulator.h"
#include "support/expected_text.h"
#include "support/process.h"
#include "support/pty.h"
#include "support/temp_dir.h"
#include "support/text.h"

namespace {

using namespace std::chrono_literals;

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
    return wait_for_raw_mode(fd, timeout, ECHO | ICANON);
}

// The device's end of the line, linked as a COM port in the wine prefix for as long as the case
// runs. Both ends held, so that the master never reports a hang-up before wine opens the port.
struct linked_port : device_line {
    explicit linked_port(const std::string& dosdevices)
        : device_line(dosdevices, std::nullopt, std::nullopt, held::both)
    {
        make_raw(master);
    }
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
        std::string start_key;
        std::string exit_key;
    };
    const row rows[] = {
        // The arrow comes as one escape sequence, which the console turns into one key without a
        // character.
        {"letter, then an arrow key", "k", "\x1b[A"},
        // Typed at a UTF-8 terminal, each is one key of one character.
        {"e acute, then the euro sign", "\xc3\xa9", "\xe2\x82\xac"},
        // Beyond U+FFFF: two UTF-16 halves, two key events, one key.
        {"an emoji, then a letter", "\xf0\x9f\x98\x80", "x"},
        // The interrupt key at a key wait is a key, not the end of the run.
        {"Ctrl-C, then Ctrl-C", "\x03", "\x03"},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.what);
        temp_dir dir;
        const std::string image = dir.write_file("fw.bin", sample_image());
        const linked_port device(updater.com_dir(dir.path));
        const int port = device.port.number;

        process_options options = updater.options(dir.path);
        // The console decodes what is typed by the locale's character set, as the terminal's is.
        options.set_env.emplace_back("LC_ALL", "C.UTF-8");
        pty_pair console;
        child_process run = child_process::start_on_terminal(options, console);

        const std::string to_port = read_until(console.master, "of the connected Tarvolo:", 30s);
        EXPECT_EQ(drawn_characters(to_port), drawn_characters(expected::banner + expected::port_question));
        ASSERT_TRUE(wait_for_wine_console(console.slave, 10s)) << to_port;
        ASSERT_TRUE(write_all(console.master, std::to_string(port) + "\r"));
        const std::string to_file = read_until(console.master, "TVL_V6_FW_V3_7_2.bin):", 10s);
        EXPECT_EQ(drawn_characters(to_file),
            drawn_characters(std::to_string(port) + expected::port_opened(port) + expected::file_question));
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
        EXPECT_EQ(read_for(device.master, 100ms, 200ms), "") << "sent to the device before the start key";
        ASSERT_TRUE(run.running());

        // One key starts the update; the device refuses the erase, which ends it.
        ASSERT_TRUE(write_all(console.master, r.start_key));
        EXPECT_EQ(read_until(device.master, expected::erase_frame, 10s), expected::erase_frame);
        ASSERT_TRUE(write_all(device.master, expected::erase_refusal));
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

// A locale built for the case alone (LOCPATH), so that the machine needs none installed: wine
// takes the console's code pages from it, as Windows does from the station's language. Returns
// its name for LC_ALL, or "" when it cannot be built.
std::string built_locale(const temp_dir& dir, const std::string& language)
{
    const std::string name = language + ".UTF-8";
    // localedef warns (and exits non-zero) about characters the charmap lacks; the files decide.
    const std::string command = "localedef -i " + language + " -f UTF-8 " + dir.path + "/" + name + " >/dev/null 2>&1";
    (void)std::system(command.c_str());
    struct stat built { };
    return ::stat((dir.path + "/" + name + "/LC_CTYPE").c_str(), &built) == 0 ? name : "";
}

// Types the port number and the file name at the wine console, as an operator does, and returns
// what the console shows from the file question on until the start prompt or the exit prompt.
std::string answer_both_questions(int console_master, int console_slave, int port, const std::string& name)
{
    std::string screen = read_until(console_master, "of the connected Tarvolo:", 30s);
    if (!wait_for_wine_console(console_slave, 10s) || !write_all(console_master, std::to_string(port) + "\r")) {
        return screen;
    }
    // Wide bounds: on a machine busy with emulators, wine may take many seconds to open the port
    // and answer.
    screen = read_until(console_master, "TVL_V6_FW_V3_7_2.bin):", 30s);
    if (!write_all(console_master, name + "\r")) {
        return screen;
    }
    // Either prompt; the rest of the line is there at once.
    screen += read_until(console_master, "Press any key to ", 30s);
    return screen + read_until(console_master, ".", 1s);
}

// Has the program read its answers from a file of `bytes` at the console, as
// `tarvolo_updater.exe < ans.txt` typed in cmd does: the keys still come from the console.
void answers_from_a_file_at_a_console(
    process_options& options, const updater_under_test& updater, const temp_dir& dir, const std::string& bytes)
{
    (void)dir.write_file("ans.txt", bytes);
    std::string exe = "Z:" + updater.wine_exe;
    std::replace(exe.begin(), exe.end(), '/', '\\');
    options.argv = {"wine", "cmd", "/c", exe + " < ans.txt"};
}

// The name typed at a console of another language is the file opened, whatever the system's
// ANSI code page makes of the same bytes: a file named so (the decoy) must not be flashed. An
// answers file may be in either code page: the reading that names a file is opened, and none
// when two do.
TEST(UpdaterInWineConsole, TypedNameOpensThatFileInTheConsoleCodePage)
{
    const updater_under_test updater;
    if (updater.wine_exe.empty()) {
        GTEST_SKIP() << "the console code page of the Windows build: set TARVOLO_E2E_WINE_EXE";
    }
    struct row {
        const char* language;
        std::string typed;
        // The same bytes read in the ANSI code page: 866 and 1251 at a Russian station, 850 and
        // 1252 at a German one.
        std::string other_reading;
        bool present = true;
        std::string folder = {}; // made for the typed name, which then names a file in it
        // The name's bytes in an answers file, as cmd's `echo` (the console's code page) or
        // Notepad (the ANSI one) writes them, read by the program through `<` at the console
        // instead of typed.
        std::string in_file = {};
        // The reason shown, for a name refused although `typed` is there: nothing is flashed.
        std::string refusal = {};
    };
    const std::string kanji_80 = repeated("\u8868", 80);
    const std::string kanji_200 = kanji_80 + "/" + kanji_80 + "/" + kanji_80.substr(0, 34 * 3) + ".bin";
    const row rows[] = {
        {"ru_RU", "\u043f\u0440\u043e\u0448\u0438\u0432\u043a\u0430.bin",
            "\u0407\u0430\u00ae\u0438\u0401\u045e\u0404\u00a0.bin"},
        {"de_DE", "pr\u00fcf.bin", "pr\u0081f.bin"},
        {"de_DE", "\u00e4nderung/pr\u00fcf.bin", "\u201enderung/pr\u0081f.bin", true, "\u00e4nderung"},
        // Absent: the reason line shows the name as typed, in the console's own letters.
        {"ru_RU", "\u043d\u0435\u0442.bin", "\u00ad\u0490\u0432.bin", false},
        // Characters that the console's code page (850) lacks, which it would turn into look-alikes.
        {"de_DE", "\u0141\u00f3d\u017a.bin", "L\u00f3dz.bin"},
        // 200 characters: 400 bytes in the console's code page (932), 600 in UTF-8.
        {"ja_JP", kanji_200, "", true, kanji_80 + "/" + kanji_80},
        // cmd's `echo` at a German console (850): the ANSI reading (1252) names a file too.
        {"de_DE", "pr\u00fcf.bin", "pr\u0081f.bin", true, {},
            "pr\x81"
            "f.bin",
            "pr\u00fcf.bin: or pr\\302\\201f.bin: the answers file reads either way and both files exist; save it as "
            "UTF-8"},
        {"de_DE", "pr\u00fcf.bin", "", true, {},
            "pr\x81"
            "f.bin"},
        // Notepad's ANSI (1252) at a German console (850): the console's reading names a file too.
        {"de_DE", "caf\u00e9.bin", "caf\u00da.bin", true, {}, "caf\xe9.bin",
            "caf\u00da.bin: or caf\u00e9.bin: the answers file reads either way and both files exist; save it as "
            "UTF-8"},
        {"de_DE", "Pr\u00fcfung.bin", "", true, {},
            "Pr\xfc"
            "fung.bin"},
        // No reading in cp932 (0xFC 0x66 is no character there): refused, never a look-alike's file.
        {"ja_JP", "pr\u30fb.bin", "", true, {},
            "pr\xfc"
            "f.bin",
            "pr\\374f.bin: name holds bytes that are not characters"},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.language + (" " + r.typed) + (r.in_file.empty() ? " typed" : " from a file"));
        temp_dir dir;
        const std::string locale = built_locale(dir, r.language);
        ASSERT_FALSE(locale.empty()) << "localedef could not build " << r.language << " (package locales)";
        if (!r.folder.empty()) {
            std::filesystem::create_directories(dir.path + "/" + r.folder);
            if (!r.other_reading.empty()) {
                std::filesystem::create_directories(
                    dir.path + "/" + r.other_reading.substr(0, r.other_reading.find('/')));
            }
        }
        const std::string image = sample_image();
        if (r.present) {
            (void)dir.write_file(r.typed, image);
        }
        if (!r.other_reading.empty()) {
            (void)dir.write_file(r.other_reading, sample_image(99));
        }

        loader_emulator::settings s;
        s.com_dir = updater.com_dir(dir.path);
        loader_emulator device(s, dir.path);
        process_options options = updater.options(dir.path);
        options.working_dir = dir.path;
        options.set_env.emplace_back("LOCPATH", dir.path);
        options.set_env.emplace_back("LC_ALL", locale);
        if (!r.in_file.empty()) {
            answers_from_a_file_at_a_console(
                options, updater, dir, std::to_string(device.port.number) + "\r\n" + r.in_file + "\r\n");
        }
        pty_pair console;
        child_process run = child_process::start_on_terminal(options, console);

        const std::string screen = r.in_file.empty()
            ? answer_both_questions(console.master, console.slave, device.port.number, r.typed)
            : read_until(console.master, "Press any key to ", 60s) + read_until(console.master, ".", 1s);
        if (!r.present || !r.refusal.empty()) {
            const std::string reason = r.refusal.empty() ? r.typed + ":" : r.refusal;
            EXPECT_NE(drawn_characters(screen).find(drawn_characters("tarvolo_updater:" + reason)), std::string::npos)
                << screen;
            ASSERT_TRUE(write_all(console.master, "x"));
            EXPECT_EQ(run.wait(10s), 1);
            EXPECT_NE(device.finish(), 0);
            EXPECT_EQ(device.bytes_received, 0) << "sent to the device";
            continue;
        }
        ASSERT_NE(screen.find("Press any key to start firmware update ..."), std::string::npos) << screen;
        ASSERT_TRUE(write_all(console.master, "s"));
        const std::string result = read_until(console.master, expected::exit_prompt, 60s);
        ASSERT_TRUE(write_all(console.master, "x"));
        EXPECT_EQ(run.wait(10s), 0) << result;
        EXPECT_EQ(device.finish(), 0) << device.output;
        EXPECT_TRUE(read_file(device.image_out) == image) << "the device did not receive the typed file";
    }
}

// Ctrl-C in the middle of the pages ends the run as a failure: a script that started it must not
// take the half-written device for an update.
TEST(UpdaterInWineConsole, InterruptDuringTheTransferIsAFailure)
{
    const updater_under_test updater;
    if (updater.wine_exe.empty()) {
        GTEST_SKIP() << "the console interrupt of the Windows build: set TARVOLO_E2E_WINE_EXE";
    }
    temp_dir dir;
    (void)dir.write_file("fw.bin", sample_image());
    loader_emulator::settings s;
    s.com_dir = updater.com_dir(dir.path);
    // The tenth page's header waits for its reply long enough for the key to come meanwhile.
    s.faults = {"header:9=delay:8000"};
    loader_emulator device(s, dir.path);
    process_options options = updater.options(dir.path);
    options.working_dir = dir.path;
    pty_pair console;
    child_process run = child_process::start_on_terminal(options, console);

    const std::string screen = answer_both_questions(console.master, console.slave, device.port.number, "fw.bin");
    ASSERT_NE(screen.find("Press any key to start firmware update ..."), std::string::npos) << screen;
    ASSERT_TRUE(write_all(console.master, "s"));
    const std::string pages = read_until(console.master, " 10 of 120", 30s);
    ASSERT_NE(pages.find(" 10 of 120"), std::string::npos) << pages;
    ASSERT_TRUE(write_all(console.master, "\x03"));
    EXPECT_EQ(run.wait(10s), 1);
    EXPECT_NE(device.finish(), 0) << "the device was updated";
    EXPECT_LT(device.bytes_received, expected::BEFORE_PAGES + 11 * expected::PER_PAGE)
        << "pages went on after the interrupt";
}

// A Windows program with the image open for writing: cmd waiting for a line, its standard error
// appended to the image. Until the input closes.
struct windows_writer {
    windows_writer(const updater_under_test& updater, const temp_dir& dir, const std::string& image)
        : process(child_process::start_detached([&] {
              process_options options = updater.options(dir.path);
              options.argv = {"wine", "cmd", "/c", "set /p x= 2>>fw.bin"};
              options.working_dir = dir.path;
              return options;
          }())),
          opened(wait_until_open(image, 30s))
    {
    }
    ~windows_writer()
    {
        process.close_input();
        (void)process.wait(10s);
    }
    windows_writer(const windows_writer&) = delete;
    windows_writer& operator=(const windows_writer&) = delete;

    child_process process;
    bool opened;
};

// Without a console (pipes, as a script runs it), each refusal of a port or an image is followed
// by the system's reason on standard error, which shares the pipe; nothing reaches the device.
TEST(UpdaterUnderWine, WhyAPortOrFileCouldNotBeOpened)
{
    const updater_under_test updater;
    if (updater.wine_exe.empty()) {
        GTEST_SKIP() << "the reason lines of the Windows build: set TARVOLO_E2E_WINE_EXE";
    }
    // What stands in the run's folder besides the typed name.
    enum class beside { nothing, folder, image_held_open };
    struct row {
        const char* what;
        std::string typed; // the file name, relative to the run's folder; "": the port is refused
        std::string reason; // the line after "tarvolo_updater: "
        std::optional<int> unlinked_port = {}; // asked for with nothing linked as it; else a line of its own
        beside made = beside::nothing;
        std::string mark = {}; // a byte-order mark before the answers
        std::vector<std::string> images = {}; // files of an image each in the run's folder
    };
    // Wine's words for the system's errors, in the C locale's English.
    const row rows[] = {
        {"port missing", "", "COM4: File not found.", 4},
        {"port in the device namespace missing", "", "\\\\.\\COM195: File not found.", 195},
        {"image missing", "missing.bin", "missing.bin: File not found."},
        {"image is a folder", "folder", "folder: Access denied.", {}, beside::folder},
        {"image held open for writing by a Windows program", "fw.bin", "fw.bin: Sharing violation.", {},
            beside::image_held_open},
        {"name that would clear the screen", "x\033[2J.bin", "x\\033[2J.bin: Invalid name."},
        // Without a console the name comes in the OEM code page (437 here), as cmd wrote it at one,
        // or in the ANSI one (1252): neither names a file, and the first reading is shown.
        {"name outside ASCII",
            "pr\xfc"
            "f.bin",
            "pr\u207ff.bin: File not found."},
        // cmd's `echo` (OEM 437) read without a console: the ANSI reading names a file too.
        {"name of two files",
            "pr\x81"
            "f.bin",
            "pr\u00fcf.bin: or pr\\302\\201f.bin: the answers file reads either way and both files exist; save it as "
            "UTF-8",
            {}, beside::nothing, {}, {"pr\u00fcf.bin", "pr\u0081f.bin"}},
        // Marked as UTF-8, a byte that is no UTF-8 is never read in a code page instead.
        {"name that is no UTF-8 after a UTF-8 mark", "x\xff.bin",
            "x\\377.bin: name holds bytes that are not characters", {}, beside::nothing, "\xEF\xBB\xBF"},
        {"name with half a UTF-16 pair", "x\xff.bin", "x\\377.bin: name holds bytes that are not characters", {},
            beside::nothing, "\xFF\xFE"},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.what);
        temp_dir dir;
        if (r.made == beside::folder) {
            ASSERT_EQ(::mkdir((dir.path + "/folder").c_str(), 0755), 0);
        } else if (r.made == beside::image_held_open) {
            (void)dir.write_file("fw.bin", sample_image());
        }
        for (const std::string& name : r.images) {
            (void)dir.write_file(name, sample_image());
        }
        std::optional<com_port> missing;
        std::optional<linked_port> device;
        if (r.unlinked_port) {
            missing.emplace(updater.com_dir(dir.path), r.unlinked_port);
        } else {
            device.emplace(updater.com_dir(dir.path));
        }
        const int port = missing ? missing->number : device->port.number;
        std::unique_ptr<windows_writer> writer;
        if (r.made == beside::image_held_open) {
            writer = std::make_unique<windows_writer>(updater, dir, dir.path + "/fw.bin");
            ASSERT_TRUE(writer->opened) << "the writer did not open the image";
        }
        process_options options = updater.options(dir.path);
        options.working_dir = dir.path;
        options.set_env.emplace_back("LC_ALL", "C.UTF-8");
        std::string answers = r.mark + std::to_string(port) + "\n" + r.typed + "\n";
        if (r.mark == "\xFF\xFE") {
            // UTF-16LE, a first half of a pair where the 0xFF stands, followed by no second half.
            answers = utf16le(std::to_string(port) + "\n" + r.typed.substr(0, r.typed.find('\xff'))) + "\x3D\xD8" +
                utf16le(r.typed.substr(r.typed.find('\xff') + 1) + "\n", "");
        }
        const run_result run = run_detached(options, answers, 30s);
        EXPECT_EQ(run.status, 1);
        const std::string up_to_the_message = r.typed.empty()
            ? expected::port_asked() + expected::port_unavailable(port)
            : expected::file_asked(port) + expected::unreadable;
        EXPECT_EQ(run.output,
            updater.console_text(up_to_the_message + updater.reason_line(r.reason) + expected::exit_prompt));
        if (device) {
            EXPECT_EQ(read_for(device->master, 50ms, 200ms), "") << "sent to the device";
        }
    }
}

} // namespace
