#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <map>
#include <poll.h>
#include <regex>
#include <string>
#include <termios.h>
#include <unistd.h>
#include <vector>

#include "support/expected_text.h"
#include "support/process.h"
#include "support/pty.h"
#include "support/temp_dir.h"

// A signal delivered right after any system call that the updater makes around the port, the
// terminal and its signal handlers, at each of those calls in turn (strace's signal injection):
// the run still ends by that signal, at once, with the line's exclusive flag clear and the
// operator's terminal as it was found; a signal the run was started ignoring ends nothing.

namespace {

using namespace std::chrono_literals;
using steady = std::chrono::steady_clock;

const char* const SWEPT_CALLS[] = {"openat", "open", "flock", "ioctl", "rt_sigaction", "rt_sigprocmask", "close"};

struct swept_signal {
    int sig;
    const char* name;
    bool ignored; // ignored from the start, as nohup leaves SIGHUP
};
const swept_signal SIGNALS[] = {
    {SIGTERM, "SIGTERM", false},
    {SIGINT, "SIGINT", false},
    {SIGHUP, "SIGHUP", true},
};

using expected::erase_frame;
using expected::erase_refusal;
// The terminal turns each line feed into CR LF.
const std::string start_prompt_on_screen = expected::crlf(expected::start_prompt);
const std::string refusal_on_screen = expected::crlf(expected::no_erase_response);

// A run that shows no sign of life for this long is stuck; a normal run under strace takes a
// small fraction of it from start to end.
constexpr auto STALL_LIMIT = 2s;
// How soon a fatal signal must have ended the run after the run's last sign of life.
constexpr auto END_LIMIT = 1s;

struct run_outcome {
    int status = -1; // as child_process::wait reports it; -1 when it had to be killed
    bool by_signal = false; // ended by a signal, not by an exit with the same number
    std::string reached = "the start"; // the last step of the dialogue that the run reached
    bool completed = false; // every step, through the key at the exit prompt
    double end_after_life = 0; // seconds from the run's last sign of life to its end
    int exclusive = -1;
    termios terminal_found{};
    termios terminal_left{};
    std::string terminal_change; // empty when the console's settings are as found
    std::string screen;
};

// Empty when the console's settings are as found; else the flags as found and as left.
std::string terminal_change(const termios& found, const termios& left)
{
    if (found.c_iflag == left.c_iflag && found.c_oflag == left.c_oflag && found.c_cflag == left.c_cflag &&
        found.c_lflag == left.c_lflag && std::equal(found.c_cc, found.c_cc + NCCS, left.c_cc)) {
        return {};
    }
    char text[160];
    (void)std::snprintf(text, sizeof text, "iflag/oflag/cflag/lflag %#x/%#x/%#x/%#x -> %#x/%#x/%#x/%#x (or c_cc)",
        found.c_iflag, found.c_oflag, found.c_cflag, found.c_lflag, left.c_iflag, left.c_oflag, left.c_cflag,
        left.c_lflag);
    return text;
}

// The operator's side of one run: the console's screen, the device's side of the line, and the
// run itself, watched together so that no wait outlasts the run.
class session {
public:
    session(child_process& run, const pty_pair& console, const device_line& device)
        : run_(run), console_(console), device_(device)
    {
    }

    // Waits until `ready` holds, the run ends, or the run shows no sign of life for STALL_LIMIT.
    // True only when `ready` holds.
    template <typename Ready>
    bool await(Ready ready)
    {
        for (;;) {
            // Asked before reading, so that everything written before the end has been read
            // when the end is taken for an answer.
            const bool over = ended();
            (void)pump(10);
            if (ready()) {
                return true;
            }
            if (over || steady::now() - last_life >= STALL_LIMIT) {
                return false;
            }
        }
    }
    bool await_screen(const std::string& text)
    {
        return await([&] { return screen.find(text) != std::string::npos; });
    }
    bool await_device(const std::string& bytes)
    {
        return await([&] { return line.find(bytes) != std::string::npos; });
    }
    bool await_key_wait()
    {
        return await([&] {
            termios now{};
            return ::tcgetattr(console_.slave, &now) == 0 && (now.c_lflag & (ECHO | ICANON | ISIG)) == 0;
        });
    }
    void type(const std::string& keys)
    {
        (void)write_all(console_.master, keys);
        last_life = steady::now();
    }
    void answer(const std::string& reply)
    {
        (void)write_all(device_.master, reply);
        last_life = steady::now();
    }
    bool ended()
    {
        if (end_ == steady::time_point{} && !run_.running()) {
            end_ = steady::now();
            while (pump(0)) { }
        }
        return end_ != steady::time_point{};
    }
    double end_after_life() const { return std::chrono::duration<double>(end_ - last_life).count(); }

    std::string screen;
    std::string line;
    steady::time_point last_life = steady::now();

private:
    // Reads what has arrived on either side, waiting at most `wait_ms` for something. True when
    // something came.
    bool pump(int wait_ms)
    {
        pollfd waiters[2] = {{console_.master, POLLIN, 0}, {device_.master, POLLIN, 0}};
        if (::poll(waiters, 2, wait_ms) <= 0) {
            return false;
        }
        bool came = false;
        std::string* into[2] = {&screen, &line};
        for (std::size_t i = 0; i < 2; ++i) {
            if ((waiters[i].revents & POLLIN) == 0) {
                continue;
            }
            char room[4096];
            const ssize_t n = ::read(waiters[i].fd, room, sizeof room);
            if (n > 0) {
                into[i]->append(room, static_cast<std::size_t>(n));
                came = true;
                // What is read after the end was written before it, at a time unknown.
                if (end_ == steady::time_point{}) {
                    last_life = steady::now();
                }
            }
        }
        return came;
    }

    child_process& run_;
    const pty_pair& console_;
    const device_line& device_;
    steady::time_point end_{};
};

// For each swept call, each time a run made it: the call as strace shows it, in brief.
using calls_made = std::map<std::string, std::vector<std::string>>;

// A call as strace shows it, cut down to what tells it from the others of its name: the
// descriptor and request of an ioctl, the signal and handler of an rt_sigaction.
std::string brief(const std::string& call)
{
    std::size_t end = std::string::npos;
    for (const char* tail : {", sa_mask", ", {c_", " = "}) {
        if (end == std::string::npos) {
            end = call.find(tail);
        }
    }
    std::string text = call.substr(0, end);
    text.erase(text.find_last_not_of(' ') + 1);
    return text.size() > 72 ? text.substr(0, 69) + "..." : text;
}

class SignalSweep : public ::testing::Test {
protected:
    // One run of the whole dialogue on a fresh console and a fresh line: port 5, the image, a key
    // at the start prompt, the device refusing the erase, a key at the exit prompt. Every wait
    // gives up as soon as the run has ended, since a signal may have ended it anywhere.
    run_outcome run(const std::vector<std::string>& strace_options, bool hup_ignored)
    {
        const device_line device(dir.path, 5);
        make_raw(device.master);
        pty_pair console;
        termios found{};
        EXPECT_EQ(::tcgetattr(console.slave, &found), 0);

        process_options options;
        options.argv = {TARVOLO_STRACE_PATH, "-f", "-qq"};
        options.argv.insert(options.argv.end(), strace_options.begin(), strace_options.end());
        options.argv.insert(options.argv.end(), {"--", TARVOLO_UPDATER_PATH});
        options.set_env = {{"TARVOLO_COM_DIR", dir.path}};
        if (hup_ignored) {
            options.ignored_signals = {SIGHUP};
        }
        child_process process = child_process::start_on_terminal(options, console);
        session s(process, console, device);
        run_outcome out;
        out.completed = drive(s, out.reached);
        (void)s.await([] { return false; }); // the end
        const bool stuck = !s.ended();
        if (stuck) {
            // strace leads a session and process group of its own, the updater in it.
            (void)::kill(-process.pid, SIGKILL);
        }
        const int status = process.wait(5s);
        out.status = stuck ? -1 : status;
        out.by_signal = process.ended_by_signal();
        out.end_after_life = s.end_after_life();
        out.exclusive = device.exclusive_flag();
        out.terminal_found = found;
        EXPECT_EQ(::tcgetattr(console.slave, &out.terminal_left), 0);
        out.terminal_change = terminal_change(found, out.terminal_left);
        out.screen = s.screen;
        return out;
    }

    bool drive(session& s, std::string& reached)
    {
        const auto screen = [&s](const std::string& text) { return [&s, text] { return s.await_screen(text); }; };
        const auto key_wait = [&s] { return s.await_key_wait(); };
        const auto press = [&s] { s.type("k"); };
        const auto nothing = [] {};
        // What the run must show next, and the operator's or the device's answer to it.
        const struct step {
            const char* reached;
            std::function<bool()> ready;
            std::function<void()> answer;
        } steps[] = {
            {"the port question", screen("of the connected Tarvolo: "), [&s] { s.type("5\r"); }},
            {"the file question", screen("TVL_V6_FW_V3_7_2.bin): "), [&] { s.type(image + "\r"); }},
            {"the start prompt", screen(start_prompt_on_screen), nothing},
            {"the start key wait", key_wait, press},
            {"the erase frame", [&s] { return s.await_device(erase_frame); }, [&s] { s.answer(erase_refusal); }},
            {"the exit prompt", screen(refusal_on_screen + expected::exit_prompt), nothing},
            {"the exit key wait", key_wait, press},
        };
        for (const auto& step : steps) {
            if (!step.ready()) {
                return false;
            }
            reached = step.reached;
            step.answer();
        }
        return true;
    }

    // The swept calls of a normal run, in order for each name, from strace's record of one run.
    calls_made record_calls(bool hup_ignored)
    {
        const std::string record = dir.path + "/calls.txt";
        std::string set = "trace=";
        for (const char* name : SWEPT_CALLS) {
            // '?': a call this architecture does not have (open on arm64) is simply never made.
            set += std::string(set.size() > 6 ? "," : "") + "?" + name;
        }
        const run_outcome normal = run({"-o", record, "-e", set}, hup_ignored);
        EXPECT_TRUE(normal.completed) << "reached " << normal.reached << "; screen:\n" << normal.screen;
        EXPECT_EQ(normal.status, 1);
        EXPECT_EQ(normal.exclusive, 0);
        EXPECT_EQ(normal.terminal_change, "");

        calls_made calls;
        for (const char* name : SWEPT_CALLS) {
            calls[name] = {};
        }
        const std::regex call(R"(^\d+ +((\w+)\(.*))");
        std::ifstream in(record);
        for (std::string text; std::getline(in, text);) {
            std::smatch m;
            if (std::regex_search(text, m, call) && calls.count(m[2].str()) != 0) {
                calls[m[2].str()].push_back(brief(m[1].str()));
            }
        }
        return calls;
    }

    temp_dir dir;
    const std::string image = dir.write_file("fw.bin", sample_image());
};

struct fault {
    const char* kind;
    std::string detail;
};

// What went wrong at one injection point; nothing when all went right.
std::vector<fault> judge(const run_outcome& out, const swept_signal& signal)
{
    std::vector<fault> faults;
    const long stall_ms = std::chrono::duration_cast<std::chrono::milliseconds>(STALL_LIMIT).count();
    if (out.status == -1) {
        // A handler that raises its signal into itself, or a wait that nothing ends.
        faults.push_back({"stuck", "still running " + std::to_string(stall_ms) + " ms after its last sign of life"});
    } else if (signal.ignored) {
        if (out.status != 1 || !out.completed) {
            faults.push_back({"wrong status",
                "status " + std::to_string(out.status) + (out.completed ? "" : " before the exit key") +
                    ", where the ignored signal ends nothing: 1"});
        }
    } else if (out.status != 128 + signal.sig || !out.by_signal) {
        const std::string how = out.by_signal ? "killed by signal " + std::to_string(out.status - 128)
                                              : "exit status " + std::to_string(out.status);
        faults.push_back(
            {"wrong status", how + ", where the signal ends the run: killed by signal " + std::to_string(signal.sig)});
    } else if (out.end_after_life > std::chrono::duration<double>(END_LIMIT).count()) {
        faults.push_back({"slow end", std::to_string(out.end_after_life) + " s after its last sign of life"});
    }
    if (out.exclusive != 0) {
        faults.push_back({"exclusive flag left set", out.exclusive == 1 ? "" : "(unreadable)"});
    }
    if (!out.terminal_change.empty()) {
        const tcflag_t cooked = ECHO | ICANON | ISIG;
        const bool raw =
            (out.terminal_found.c_lflag & cooked) == cooked && (out.terminal_left.c_lflag & cooked) != cooked;
        faults.push_back({raw ? "terminal left raw" : "terminal changed", out.terminal_change});
    }
    return faults;
}

// The updater looks at every process in /proc for another holder of its line, so how many calls
// it makes, and which instant the k-th one is, follows how many processes the machine runs. The
// sweep therefore runs again in a PID namespace of its own (a user namespace lets an ordinary user
// make one), where /proc shows only the sweep's own processes. True in the process that sweeps.
bool sweeping_in_a_namespace_of_its_own()
{
    const char* const INSIDE = "TARVOLO_SWEEP_IN_NAMESPACE";
    if (std::getenv(INSIDE) != nullptr) {
        return true;
    }
    const ::testing::TestInfo* test = ::testing::UnitTest::GetInstance()->current_test_info();
    process_options inside;
    inside.argv = {"unshare", "--pid", "--fork", "--mount-proc", "--kill-child"};
    if (::geteuid() != 0) {
        inside.argv.insert(inside.argv.begin() + 1, {"--user", "--map-root-user"});
    }
    std::error_code error;
    inside.argv.insert(inside.argv.end(),
        {std::filesystem::read_symlink("/proc/self/exe", error).string(),
            std::string("--gtest_filter=") + test->test_suite_name() + "." + test->name()});
    inside.set_env = {{INSIDE, "1"}};
    const run_result run = run_detached(inside, "", 850s);
    std::cout << run.output;
    EXPECT_EQ(run.status, 0) << "the sweep in its namespace failed, or could not start";
    return false;
}

TEST_F(SignalSweep, EveryCallAroundThePortAndTheTerminal)
{
    if (!sweeping_in_a_namespace_of_its_own()) {
        return;
    }
    const auto start = steady::now();
    // The calls a run makes differ when SIGHUP is ignored: its handlers are put back at once.
    const calls_made made[2] = {record_calls(false), record_calls(true)};
    ASSERT_FALSE(HasFailure()) << "the dialogue itself does not run as it should under strace";
    // The injection points are only the same instants from run to run if the calls are the same.
    const calls_made again = record_calls(false);
    for (const char* name : SWEPT_CALLS) {
        ASSERT_EQ(again.at(name).size(), made[0].at(name).size())
            << "two normal runs made different " << name << " calls";
    }

    std::string tally;
    for (const char* name : SWEPT_CALLS) {
        tally += std::string(tally.empty() ? "" : ", ") + name + " " + std::to_string(made[0].at(name).size()) + "/" +
            std::to_string(made[1].at(name).size());
    }
    std::cout << "calls in a normal run (SIGHUP default/ignored): " << tally << std::endl;

    std::vector<std::string> failures;
    std::map<std::string, int> kinds;
    int points = 0;
    for (const auto& signal : SIGNALS) {
        for (const char* name : SWEPT_CALLS) {
            const std::vector<std::string>& calls = made[signal.ignored ? 1 : 0].at(name);
            for (std::size_t k = 1; k <= calls.size(); ++k) {
                ++points;
                const std::string where = std::string(signal.name) + (signal.ignored ? " (ignored)" : "") + " at " +
                    name + " #" + std::to_string(k) + " of " + std::to_string(calls.size()) + " [" + calls[k - 1] + "]";
                const run_outcome out =
                    run({"-o", "/dev/null", "-e", std::string("trace=") + name, "-e",
                            std::string("inject=") + name + ":signal=" + signal.name + ":when=" + std::to_string(k)},
                        signal.ignored);
                const std::vector<fault> faults = judge(out, signal);
                if (faults.empty()) {
                    continue;
                }
                std::string line = where + ":";
                for (const auto& f : faults) {
                    line += std::string(" ") + f.kind + (f.detail.empty() ? "" : " (" + f.detail + ")") + ";";
                    ++kinds[f.kind];
                }
                failures.push_back(line + " reached " + out.reached);
            }
        }
    }
    const double seconds = std::chrono::duration<double>(steady::now() - start).count();

    std::cout << points << " injection points in " << seconds << " s\n";
    std::string report;
    for (const auto& failure : failures) {
        report += failure + "\n";
    }
    std::string summary;
    for (const auto& [kind, n] : kinds) {
        summary += (summary.empty() ? "" : ", ") + kind + ": " + std::to_string(n);
    }
    EXPECT_TRUE(failures.empty()) << failures.size() << " of " << points << " injection points failed (" << summary
                                  << "):\n"
                                  << report;
}

} // namespace
