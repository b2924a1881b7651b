#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <sys/stat.h>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <utility>
#include <vector>

#include "support/expected_text.h"
#include "support/process.h"
#include "support/pty.h"
#include "support/row_builder.h"
#include "support/temp_dir.h"

namespace {

using namespace std::chrono_literals;

// How long a key wait may take to put the terminal raw. Wide, as it only proves the wait does:
// an arm build under qemu-user, beside the other suites on two cores, once took more than 5 s to
// take it back after `fg`.
constexpr auto TAKES_THE_TERMINAL = 30s;

using expected::erase_frame;
using expected::erase_refusal;
// The terminal turns each line feed into CR LF, as a Windows console does.
const std::string start_prompt_on_screen = expected::crlf(expected::start_prompt);
const std::string refusal_on_screen = expected::crlf(expected::erasing + expected::no_erase_response);

process_options updater(const temp_dir& com_dir)
{
    process_options options;
    options.argv = {TARVOLO_UPDATER_PATH};
    options.set_env = {{"TARVOLO_COM_DIR", com_dir.path}};
    return options;
}

// The updater as an ordinary user would run it: as the test's own user when that is not root,
// otherwise as nobody, from a copy of the program that nobody can reach.
process_options ordinary_user_updater(const temp_dir& dir)
{
    process_options options = updater(dir);
    if (geteuid() != 0) {
        return options;
    }
    const std::string copy = dir.write_file("tarvolo_updater", read_file(TARVOLO_UPDATER_PATH));
    EXPECT_EQ(chmod(copy.c_str(), 0755), 0);
    EXPECT_EQ(chmod(dir.path.c_str(), 0755), 0);
    options.argv = {copy};
    options.run_as_uid = 65534;
    options.run_as_gid = 65534;
    return options;
}

// The state letter of /proc/PID/stat: S waiting, T stopped.
char process_state(pid_t pid)
{
    const std::string fields = read_file("/proc/" + std::to_string(pid) + "/stat");
    const std::size_t name_end = fields.rfind(')');
    return name_end == std::string::npos || name_end + 2 >= fields.size() ? '?' : fields[name_end + 2];
}

// What stands at `com7` in the port folder, made for one run; returns what must be kept open
// meanwhile.
using com7_maker = std::function<std::unique_ptr<device_line>(const temp_dir&, const std::string& com7)>;

com7_maker line_of_mode(mode_t mode)
{
    return [mode](const temp_dir& dir, const std::string&) { return std::make_unique<device_line>(dir.path, 7, mode); };
}

std::unique_ptr<device_line> nothing(const temp_dir&, const std::string&) { return nullptr; }

// `com7` a link to `target`, where no device is.
com7_maker link_to(std::string target)
{
    return [target = std::move(target)](const temp_dir&, const std::string& com7) {
        EXPECT_EQ(symlink(target.c_str(), com7.c_str()), 0);
        return nullptr;
    };
}

// A run refused at the port or at the image, with a line anyone may open at `com7` unless a
// builder says otherwise.
struct refused_run : row_builder<refused_run> {
    refused_run(const char* description, std::string why) : what(description), reason(std::move(why)) { }

    refused_run& at_com7(com7_maker maker) { return set(make, std::move(maker)); }
    refused_run& as_ordinary_user() { return set(ordinary_user, true); }
    refused_run& typing(std::string name, std::string refusal = expected::unreadable)
    {
        return set(file_name, std::move(name)).set(message, std::move(refusal));
    }
    refused_run& shown_as(std::string name) { return set(shown, std::move(name)); }
    refused_run& made_by(std::function<void(const std::string& path)> maker)
    {
        return set(make_file, std::move(maker));
    }
    refused_run& started_without(std::vector<int> streams) { return set(closed_streams, std::move(streams)); }
    refused_run& at_own_terminal(const char* link) { return set(own_terminal_link, link).at_com7(nothing); }
    refused_run& beside(const char* program) { return set(other_program, program); }

    const char* what;
    std::string reason; // after "tarvolo_updater: <path>: "; none shown when empty
    com7_maker make = line_of_mode(0666);
    bool ordinary_user = false;
    std::string file_name; // typed; relative to the run's folder
    std::string message = expected::unreadable;
    std::string shown; // the name as the reason line shows it, when not as typed
    std::function<void(const std::string& path)> make_file; // makes the typed file
    std::vector<int> closed_streams;
    // Run at a terminal of its own, with `com7` a link to this ("": to that terminal's own name):
    // the port is the operator's terminal, which must be left exactly as it was.
    const char* own_terminal_link = nullptr;
    // Another program on the line meanwhile: a shell command, the line's path as $1.
    const char* other_program = nullptr;
};

refused_run refusal(const char* what, std::string reason) { return refused_run(what, std::move(reason)); }

// Standard error shares the pipe with standard output, so the reason must stand right after the
// message it explains. Whatever is refused, nothing may reach the device.
TEST(UpdaterWithoutTerminal, WhyAPortOrFileCouldNotBeOpened)
{
    const auto held_by = [](pid_t pid) {
        return "held by another program (PID " + std::to_string(pid) + ", " + command_name(pid) + ")";
    };
    const std::string in_use = "the terminal of a running session (a shell or a login), not a free serial port";
    const std::string missing = "No such file or directory";
    const auto folder = [](const std::string& path) { EXPECT_EQ(mkdir(path.c_str(), 0755), 0); };
    const auto fifo = [](const std::string& path) { EXPECT_EQ(mkfifo(path.c_str(), 0644), 0); };
    const auto one_byte_short = [](const std::string& path) { std::ofstream(path) << std::string(491519, 'x'); };
    const refused_run rows[] = {
        refusal("missing device", missing + expected::no_line_for(7)).at_com7(nothing),
        refusal("no permission", "Permission denied").at_com7(line_of_mode(0)).as_ordinary_user(),
        // Another program holds the line, and a lock on it as well.
        refusal("held and locked by another program", "").beside("exec flock \"$1\" sleep 60"),
        refusal("not a terminal", "not a terminal, so not a serial port")
            .at_com7([](const temp_dir& dir, const std::string& com7) {
                EXPECT_EQ(rename(dir.write_file("plain", "").c_str(), com7.c_str()), 0);
                return nullptr;
            }),
        refusal("image file missing", missing).typing("missing.bin"),
        // Started without standard error: the reason goes nowhere, and certainly not to the device.
        refusal("image file missing, no standard error", "").typing("missing.bin").started_without({2}),
        refusal("image is a folder", "Is a directory").typing("folder").made_by(folder),
        // Nobody will ever write to it: the run must not wait for a writer with the port held.
        refusal("image is a named pipe", "not a regular file").typing("pipe", expected::invalid_file).made_by(fifo),
        refusal("image one byte short", "491519 bytes; an image has 491520")
            .typing("short.bin", expected::invalid_file)
            .made_by(one_byte_short),
        refusal("name that would clear the screen", missing).typing("x\033[2J.bin").shown_as("x\\033[2J.bin"),
        refusal("name over 254 characters", "name longer than 254 characters")
            .typing(std::string(300, 'n'))
            .shown_as(std::string(254, 'n') + "..."),
        refusal("the operator's terminal as /dev/tty", in_use).at_own_terminal("/dev/tty"),
        refusal("the operator's terminal by its name", in_use).at_own_terminal(""),
        // Neither takes a lock or the exclusive flag; the updater would share the device's replies.
        // O_NOCTTY: the reader is a session leader, and a terminal program's line is no session's.
        refusal("read by a terminal program", "").beside("exec dd if=\"$1\" iflag=noctty of=/dev/null status=none"),
        // Opened by a session leader without O_NOCTTY: its controlling terminal, as another
        // window's shell has its own.
        refusal("another session's terminal", in_use).beside("exec sleep 60 <>\"$1\""),
        refusal("a link whose long target holds controls",
            missing + " (a link to /dev/serial/by-id/" + std::string(300, 'u') + "\\033[2J\\033]0;x\\007)" +
                expected::no_line_for(7))
            .at_com7(link_to("/dev/serial/by-id/" + std::string(300, 'u') + "\033[2J\033]0;x\a")),
        // A right-to-left override would show the rest of the line backwards.
        refusal("a by-id link whose name turns the line around",
            missing + " (a link to /dev/serial/by-id/usb-\\342\\200\\2561-trop)" + expected::no_line_for(7))
            .at_com7(link_to("/dev/serial/by-id/usb-\u202e1-trop")),
        refusal("a backslash in a name", missing).typing("a\\033.bin").shown_as("a\\\\033.bin"),
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.what);
        temp_dir dir;
        const std::string com7 = dir.path + "/com7";
        const auto kept = r.make(dir, com7);
        if (r.make_file) {
            r.make_file(dir.path + "/" + r.file_name);
        }
        process_options options = r.ordinary_user ? ordinary_user_updater(dir) : updater(dir);
        options.working_dir = dir.path;
        options.closed_streams = r.closed_streams;
        std::optional<child_process> other;
        termios line_found{};
        std::string reason = r.reason;
        if (r.other_program != nullptr) {
            process_options program;
            program.argv = {"sh", "-c", r.other_program, "sh", kept->slave_path};
            other.emplace(child_process::start_detached(program));
            ASSERT_TRUE(wait_until_open(kept->slave_path, 5s, other->pid)) << "the other program never opened the line";
            ASSERT_EQ(tcgetattr(kept->master, &line_found), 0);
            if (reason.empty()) {
                reason = held_by(other->pid);
            }
        }
        const std::string subject = !r.shown.empty() ? r.shown : r.file_name.empty() ? com7 : r.file_name;
        const std::string why = reason.empty() ? "" : "tarvolo_updater: " + subject + ": " + reason + "\n";
        if (r.own_terminal_link != nullptr) {
            // The terminal is the port here: only the run itself may have it open.
            pty_pair console(pty_pair::held::master_only);
            const com_port link(dir.path, 7);
            link.link_to(*r.own_terminal_link != '\0' ? r.own_terminal_link : console.slave_path);
            termios found{};
            ASSERT_EQ(tcgetattr(console.master, &found), 0);
            child_process run = child_process::start_on_terminal(options, console);
            std::string screen = read_until(console.master, "of the connected Tarvolo: ", 10s);
            ASSERT_TRUE(write_all(console.master, "7\r"));
            // Echoed as typed; each line feed written reaches the screen as CR LF.
            screen += read_until(console.master, expected::exit_prompt, 10s);
            EXPECT_EQ(screen,
                expected::crlf(expected::banner + expected::port_question + "7\n\n\r" + expected::port_unavailable(7) +
                    why + expected::exit_prompt));
            ASSERT_TRUE(wait_for_raw_mode(console.master, TAKES_THE_TERMINAL));
            ASSERT_TRUE(write_all(console.master, "x"));
            EXPECT_EQ(run.wait(10s), 1);
            termios after{};
            ASSERT_EQ(tcgetattr(console.master, &after), 0);
            EXPECT_EQ(std::memcmp(&after, &found, sizeof after), 0) << "the operator's terminal was changed";
            EXPECT_EQ(cfgetospeed(&after), cfgetospeed(&found));
            continue;
        }
        const run_result run = run_detached(options, "7\n" + r.file_name + "\n", 20s);
        EXPECT_EQ(run.status, 1);
        if (r.file_name.empty()) {
            EXPECT_EQ(expected::lines_masked(run.output),
                expected::port_asked() + expected::port_unavailable(7) + why + expected::exit_prompt);
        } else {
            EXPECT_EQ(run.output, expected::file_asked(7) + r.message + why + expected::exit_prompt);
        }
        if (kept) {
            EXPECT_EQ(read_for(kept->master, 50ms, 200ms), "") << "sent to the device";
            // Set, it would lock every other user out for as long as the holder keeps the line.
            EXPECT_EQ(kept->exclusive_flag(), 0) << "the exclusive flag was not given back as found";
        }
        if (other) {
            termios after{};
            ASSERT_EQ(tcgetattr(kept->master, &after), 0);
            EXPECT_EQ(std::memcmp(&after, &line_found, sizeof after), 0) << "the other program's line was changed";
        }
    }
}

TEST(UpdaterWithoutTerminal, EndOfInputAtTheFirstQuestion)
{
    temp_dir com_dir;
    const run_result run = run_detached(updater(com_dir), "", 20s);
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.output, expected::port_asked() + expected::exit_prompt);
}

TEST(UpdaterWithoutTerminal, HeldPortCannotBeOpenedTwice)
{
    temp_dir com_dir;
    const device_line device(com_dir.path, 123);
    // The first updater holds the port at its file question.
    child_process first = child_process::start_detached(updater(com_dir));
    first.send_input("123\n");
    const std::string first_out = read_until(first.output, "(e.g. TVL_V6_FW_V3_7_2.bin): ", 10s);
    ASSERT_NE(first_out.find(expected::port_opened(123)), std::string::npos) << first_out;

    const run_result second = run_detached(updater(com_dir), "123\n", 20s);
    EXPECT_EQ(second.status, 1);
    // Root passes the first run's exclusive flag and finds that run among the line's holders; an
    // ordinary user's open is refused by the flag itself, and the holder is looked up then.
    const std::string holder = " (PID " + std::to_string(first.pid) + ", " + command_name(first.pid) + ")";
    const std::string why = "tarvolo_updater: " + com_dir.path + "/com123: held by another program" + holder + "\n";
    EXPECT_NE(second.output.find(expected::port_unavailable(123) + why + expected::exit_prompt), std::string::npos)
        << second.output;
    first.close_input();
    EXPECT_EQ(first.wait(10s), 1);
}

TEST(UpdaterWithoutTerminal, OrdinaryUserOpensALineKeptOpenRunAfterRun)
{
    temp_dir dir;
    // The device keeps its end of the line open between the runs; the exclusive flag then lives
    // on after a run, and only root ignores it.
    const device_line line(dir.path, 9, 0666);
    const process_options options = ordinary_user_updater(dir);
    for (int run = 1; run <= 2; ++run) {
        const run_result result = run_detached(options, "9\n", 20s);
        EXPECT_EQ(result.status, 1) << "run " << run;
        EXPECT_EQ(result.output, expected::file_asked(9) + expected::exit_prompt) << "run " << run;
    }
}

TEST(UpdaterWithoutTerminal, UpdateEndedBySignalLeavesTheLineShareable)
{
    for (const int sig : {SIGINT, SIGTERM}) {
        temp_dir dir;
        const device_line device(dir.path, 5);
        make_raw(device.master);
        const std::string image = dir.write_file("fw.bin", sample_image());
        child_process run = child_process::start_detached(updater(dir));
        run.send_input("5\n" + image + "\n");
        // Ended while it waits for the erase reply, the port held and exclusive.
        ASSERT_EQ(read_until(device.master, erase_frame, 10s), erase_frame);
        EXPECT_EQ(device.exclusive_flag(), 1);
        ASSERT_EQ(kill(run.pid, sig), 0);
        EXPECT_EQ(run.wait(10s), 128 + sig) << "the signal must still end the run as it would by default";
        EXPECT_EQ(device.exclusive_flag(), 0) << "signal " << sig;
    }
}

// An operator at a terminal: answers typed with Enter, the keys pressed alone.
TEST(UpdaterOnTerminal, KeyWaitsTakeSingleRawKeysAndEchoComesBack)
{
    struct row {
        const char* what;
        std::string start_key;
        std::string exit_key;
        int exit_signal = 0; // sent instead of the exit key
    };
    const row rows[] = {
        // The interrupt key is just a key at a key wait: the run ends with its own status.
        {"letter, then the interrupt key", "k", "\x03"},
        // A character of several UTF-8 bytes is one key: the bytes after the first must not
        // satisfy the exit wait before the operator has read the result.
        {"e acute, then the euro sign", "\xc3\xa9", "\xe2\x82\xac"},
        // Ended at the exit prompt: the terminal and the line are both given back on the way out.
        {"letter, then SIGTERM at the exit prompt", "k", "", SIGTERM},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.what);
        temp_dir dir;
        const device_line device(dir.path, 5);
        make_raw(device.master);
        const std::string image = dir.write_file("fw.bin", sample_image());

        pty_pair console;
        child_process run = child_process::start_on_terminal(updater(dir), console);

        std::string screen = read_until(console.master, "of the connected Tarvolo: ", 10s);
        ASSERT_TRUE(write_all(console.master, "5\r"));
        screen += read_until(console.master, "TVL_V6_FW_V3_7_2.bin): ", 10s);
        ASSERT_TRUE(write_all(console.master, image + "\r"));
        screen += read_until(console.master, start_prompt_on_screen, 10s);
        ASSERT_NE(screen.find(start_prompt_on_screen), std::string::npos) << screen;
        // The typed answers were echoed while the terminal was in its normal mode.
        EXPECT_NE(screen.find("5\r\n"), std::string::npos);

        // The Enter that ended the file name must not have started the update.
        std::string later = read_for(console.master, 500ms, 1s);
        EXPECT_EQ(later, "");
        EXPECT_EQ(read_for(device.master, 100ms, 200ms), "") << "sent to the device before the start key";

        // One key, no Enter, starts the update: the erase frame goes out, and a refusal ends it.
        ASSERT_TRUE(wait_for_raw_mode(console.slave, TAKES_THE_TERMINAL));
        ASSERT_TRUE(write_all(console.master, r.start_key));
        EXPECT_EQ(read_until(device.master, erase_frame, 10s), erase_frame);
        ASSERT_TRUE(write_all(device.master, erase_refusal));
        later += read_until(console.master, expected::exit_prompt, 30s);
        EXPECT_EQ(later, refusal_on_screen + expected::exit_prompt)
            << "the start key was echoed, or the output differs";

        // The exit prompt waits for a key of its own.
        ASSERT_TRUE(wait_for_raw_mode(console.slave, TAKES_THE_TERMINAL));
        std::this_thread::sleep_for(300ms);
        EXPECT_TRUE(run.running()) << "the run ended without waiting at the exit prompt";
        EXPECT_EQ(device.exclusive_flag(), 1);
        if (r.exit_signal != 0) {
            ASSERT_EQ(kill(run.pid, r.exit_signal), 0);
            EXPECT_EQ(run.wait(10s), 128 + r.exit_signal);
        } else {
            ASSERT_TRUE(write_all(console.master, r.exit_key));
            EXPECT_EQ(run.wait(10s), 1);
        }
        EXPECT_EQ(device.exclusive_flag(), 0);

        termios after{};
        ASSERT_EQ(tcgetattr(console.slave, &after), 0);
        EXPECT_EQ(after.c_lflag & (ECHO | ICANON | ISIG), static_cast<tcflag_t>(ECHO | ICANON | ISIG));
        EXPECT_EQ(read_for(console.master, 100ms, 300ms), "") << "a key was echoed after the run";
    }
}

// A device on COM5 and a good image, for a run at a terminal that stops at the start key.
struct stopped_at_the_start {
    temp_dir dir;
    device_line device{dir.path, 5};
    std::string image = dir.write_file("fw.bin", sample_image());

    stopped_at_the_start() { make_raw(device.master); }

    // Answers the two questions and waits until the start key's wait has the terminal raw.
    void answer(const pty_pair& console) const
    {
        read_until(console.master, "of the connected Tarvolo: ", 10s);
        ASSERT_TRUE(write_all(console.master, "5\r" + image + "\r"));
        const std::string start = read_until(console.master, start_prompt_on_screen, 10s);
        ASSERT_NE(start.find("update ..."), std::string::npos) << start;
        ASSERT_TRUE(wait_for_raw_mode(console.slave, TAKES_THE_TERMINAL));
    }

    // Once the wait has the terminal back: one key, unechoed, starts the update, which the
    // device refuses; one more key ends the run.
    void start_and_exit(const pty_pair& console) const
    {
        ASSERT_TRUE(wait_for_raw_mode(console.slave, TAKES_THE_TERMINAL)) << "the wait did not take the terminal back";
        ASSERT_TRUE(write_all(console.master, "k"));
        EXPECT_EQ(read_until(device.master, erase_frame, 10s), erase_frame);
        ASSERT_TRUE(write_all(device.master, erase_refusal));
        EXPECT_EQ(read_until(console.master, expected::exit_prompt, 30s), refusal_on_screen + expected::exit_prompt)
            << "the start key was echoed, or the output differs";
        ASSERT_TRUE(wait_for_raw_mode(console.slave, TAKES_THE_TERMINAL));
        ASSERT_TRUE(write_all(console.master, "x"));
    }
};

// Root passes the exclusive flag, and so does a program that ignores it: one that opens the line
// while the operator reads the start prompt would take the device's replies, and the device would
// be left erased. The run ends before it sends a byte.
TEST(UpdaterOnTerminal, LineOpenedByAnotherProgramAtTheStartPrompt)
{
    if (geteuid() != 0) {
        GTEST_SKIP() << "only root's open passes the exclusive flag";
    }
    const stopped_at_the_start run;
    pty_pair console;
    child_process updater_run = child_process::start_on_terminal(updater(run.dir), console);
    ASSERT_NO_FATAL_FAILURE(run.answer(console));
    const line_opener intruder(run.device.slave_path);
    ASSERT_TRUE(intruder.opened);

    ASSERT_TRUE(write_all(console.master, "k"));
    const std::string why = "tarvolo_updater: " + run.device.port.path +
        ": opened by another program while waiting (PID " + std::to_string(intruder.pid) + ", " +
        command_name(intruder.pid) + "); nothing was sent\n";
    EXPECT_EQ(read_until(console.master, expected::exit_prompt, 10s),
        expected::crlf(expected::no_erase_response + why + expected::exit_prompt));
    EXPECT_EQ(read_for(run.device.master, 100ms, 300ms), "") << "sent to the device";
    ASSERT_TRUE(wait_for_raw_mode(console.slave, TAKES_THE_TERMINAL));
    ASSERT_TRUE(write_all(console.master, "x"));
    EXPECT_EQ(updater_run.wait(10s), 1);
    EXPECT_EQ(run.device.exclusive_flag(), 0) << "the line was not given back";
}

// Stopped from another terminal at the start prompt, sent on in the background, then brought
// back with `fg` in a real job-control shell: the shell has put its own settings on the terminal
// meanwhile, and one key must still start the update, unechoed. The stop is the one a handler
// sees (SIGTSTP) or the one nobody can catch (SIGSTOP: a debugger, a supervisor).
TEST(UpdaterOnTerminal, StopAndForegroundAtAKeyWait)
{
    for (const int stop : {SIGTSTP, SIGSTOP}) {
        SCOPED_TRACE(stop == SIGTSTP ? "SIGTSTP" : "SIGSTOP");
        const stopped_at_the_start run;
        process_options shell = updater(run.dir);
        shell.argv = {"bash", "--norc", "--noprofile", "-i"};
        shell.set_env.insert(shell.set_env.end(), {{"PS1", "sh$ "}, {"HISTFILE", "/dev/null"}, {"TERM", "dumb"}});
        pty_pair console;
        child_process bash = child_process::start_on_terminal(shell, console);

        ASSERT_NE(read_until(console.master, "sh$ ", 10s).find("sh$ "), std::string::npos);
        ASSERT_TRUE(write_all(console.master, shell_command(TARVOLO_UPDATER_PATH) + "\r"));
        ASSERT_NO_FATAL_FAILURE(run.answer(console));

        const pid_t job = tcgetpgrp(console.master);
        ASSERT_GT(job, 0);
        ASSERT_EQ(kill(-job, stop), 0);
        const std::string stopped = read_until(console.master, "sh$ ", 10s);
        ASSERT_NE(stopped.find("Stopped"), std::string::npos) << stopped;
        // Continued where it may not touch the terminal: it must wait on, not stop on SIGTTOU.
        // (Typing now would stop it on SIGTTIN, as any job that reads the terminal from the
        // background.)
        ASSERT_TRUE(write_all(console.master, "bg\r"));
        read_until(console.master, "sh$ ", 10s);
        std::this_thread::sleep_for(300ms);
        EXPECT_EQ(process_state(job), 'S') << "not waiting in the background";
        EXPECT_EQ(read_for(run.device.master, 50ms, 200ms), "") << "sent to the device before the start key";

        ASSERT_TRUE(write_all(console.master, "fg\r"));
        read_until(console.master, std::string(TARVOLO_UPDATER_PATH) + "\r\n", 10s);
        ASSERT_NO_FATAL_FAILURE(run.start_and_exit(console));
        ASSERT_NE(read_until(console.master, "sh$ ", 10s).find("sh$ "), std::string::npos);
        ASSERT_TRUE(write_all(console.master, "exit 0\r"));
        EXPECT_EQ(bash.wait(10s), 0);
    }
}

// Stopped at the start prompt with no interactive shell to tidy up after it (a script under
// `set -m`, dash, a supervisor): while it is stopped, the terminal must hold the settings it was
// found with, given back by the program itself; continued in front, the wait takes it raw again.
TEST(UpdaterOnTerminal, StopGivesTheTerminalBackByItself)
{
    const stopped_at_the_start run;
    const std::string go = run.dir.path + "/go";
    process_options script = updater(run.dir);
    // The updater as a job of its own, in front; `fg` once the test has looked.
    script.argv = {"bash", "--norc", "--noprofile", "-c",
        "set -m; " + shell_command(TARVOLO_UPDATER_PATH) + "; until [ -e " + go + " ]; do sleep 0.05; done; fg", "job"};
    pty_pair console;
    termios found{};
    ASSERT_EQ(tcgetattr(console.slave, &found), 0);
    child_process job_control = child_process::start_on_terminal(script, console);
    ASSERT_NO_FATAL_FAILURE(run.answer(console));

    const pid_t job = tcgetpgrp(console.master);
    ASSERT_GT(job, 0);
    ASSERT_EQ(kill(-job, SIGTSTP), 0);
    (void)wait_until([job] { return process_state(job) == 'T'; }, 10s);
    ASSERT_EQ(process_state(job), 'T') << "the job did not stop";
    termios while_stopped{};
    ASSERT_EQ(tcgetattr(console.slave, &while_stopped), 0);
    EXPECT_EQ(while_stopped.c_lflag, found.c_lflag);
    EXPECT_EQ(while_stopped.c_iflag, found.c_iflag);
    EXPECT_EQ(while_stopped.c_oflag, found.c_oflag);
    EXPECT_EQ(while_stopped.c_cc[VMIN], found.c_cc[VMIN]);

    // The script's shell tells of the stop, and of the job it brings to the front.
    const std::string job_line = std::string(TARVOLO_UPDATER_PATH) + "\r\n";
    ASSERT_NE(read_until(console.master, job_line, 10s).find("Stopped"), std::string::npos);
    std::ofstream(go).put('\n');
    read_until(console.master, job_line, 10s);
    ASSERT_NO_FATAL_FAILURE(run.start_and_exit(console));
    EXPECT_EQ(job_control.wait(10s), 1);
}

} // namespace
