#pragma once

#include <chrono>
#include <functional>
#include <string>
#include <sys/types.h>
#include <utility>
#include <vector>

struct pty_pair;

struct process_options {
    std::vector<std::string> argv; // argv[0] is the program to run
    std::vector<std::pair<std::string, std::string>> set_env;
    std::vector<std::string> unset_env;
    std::string working_dir;
    // Ignored in the child when it starts, as nohup leaves SIGHUP; the rest start at their default.
    std::vector<int> ignored_signals;
    // When both are set, the child gives up root for this user and group before it runs.
    uid_t run_as_uid = static_cast<uid_t>(-1);
    gid_t run_as_gid = static_cast<gid_t>(-1);
    // Detached runs only: standard output and error go into a pipe whose reading end is closed
    // before the program starts, as when the reader of `prog | tee log` has gone.
    bool output_closed = false;
    // Standard streams closed in the child just before the program starts, as `prog >&-` does.
    std::vector<int> closed_streams;
};

// A program started by a test, always in a session of its own so that it never sees the test
// runner's terminal.
class child_process {
public:
    // Standard input from a pipe the test writes, standard output and error into one pipe the
    // test reads; no controlling terminal.
    static child_process start_detached(const process_options& options);
    // Standard input, output and error on the slave of `tty`, which becomes the program's
    // controlling terminal, as when an operator runs it in a console.
    static child_process start_on_terminal(const process_options& options, pty_pair& tty);

    child_process(child_process&& other) noexcept;
    child_process& operator=(child_process&&) = delete;
    child_process(const child_process&) = delete;
    child_process& operator=(const child_process&) = delete;
    ~child_process();

    void send_input(const std::string& text) const;
    void close_input();
    // Waits for the end; on timeout kills it and returns -1. A signal gives 128 + its number.
    int wait(std::chrono::milliseconds timeout);
    bool running();
    // Whether the end came from a signal rather than an exit with the same number.
    bool ended_by_signal() const { return signalled_; }

    pid_t pid = -1;
    int input = -1; // detached: the write end of standard input
    int output = -1; // detached: the read end of standard output and error

private:
    child_process() = default;
    int status_ = -1;
    bool reaped_ = false;
    bool signalled_ = false;
};

struct run_result {
    int status = -1;
    std::string output;
    double seconds = 0;
};

// Runs a program detached with `input` on standard input (then closed) until it ends. With a
// `marker`, `meanwhile` is called once the output shows it, while the program runs on.
run_result run_detached(const process_options& options, const std::string& input, std::chrono::milliseconds timeout,
    const std::string& marker = {}, const std::function<void()>& meanwhile = {});

// Runs a program detached as a script answers its questions: each input is written once the
// output shows its marker ("" for at once), and standard input is closed after the last.
run_result run_answering(const process_options& options,
    const std::vector<std::pair<std::string, std::string>>& marker_then_input, std::chrono::milliseconds timeout);

// A process's name as another process reads it in /proc (its comm), "" when it is gone.
std::string command_name(pid_t pid);

// Asks `ready` every few milliseconds until it holds or the timeout passes; its last answer.
bool wait_until(const std::function<bool()>& ready, std::chrono::milliseconds timeout);

// Waits until process `pid` has `path` open, or any process of this user when `pid` is 0 (under
// wine the server holds the file of every open handle). False when the timeout passes first.
bool wait_until_open(const std::string& path, std::chrono::milliseconds timeout, pid_t pid = 0);

// The words that run a program of this build on this machine before its own: in a cross build,
// the toolchain's emulator; none otherwise.
std::vector<std::string> target_launcher();

// How a shell is told to run `program` of this build: in a cross build, through the toolchain's
// emulator, which a shell would not know to use.
std::string shell_command(const std::string& program);

// The terminal numbered `number` of a devpts instance of its own, mounted at `mount_dir` in a
// mount namespace of its own, as a container has its own /dev/pts: the same device number as the
// host's terminal of that number, another line. Needs root.
struct another_devpts {
    std::string mount_dir;
    int number = 0;
    bool as_session = false; // opened as the terminal of a session it leads, as a shell's is
};

// Another program that opens a line for reading and writing, never as its controlling terminal
// unless asked, and keeps it open until it is destroyed: a terminal program left running, root's
// modem prober, a container's shell. It is started when it is made, and opens the line then or
// when told to, as a prober that was running long before. Nothing else of the test's is open in
// it.
class line_opener {
public:
    enum class when { now, told };
    explicit line_opener(const std::string& path, when opens = when::now, bool keeps_it = true);
    explicit line_opener(const another_devpts& line);
    ~line_opener();
    line_opener(const line_opener&) = delete;
    line_opener& operator=(const line_opener&) = delete;

    // Opens the line (closing it again at once unless it keeps it); whether it could.
    bool open_now();

    pid_t pid = -1;
    bool opened = false;

private:
    void start(const std::function<int()>& open_in_child, bool keeps_it);
    int go_ = -1;
    int report_ = -1;
};

// `count` more processes that only wait, as on a busy machine; ended with it.
class process_crowd {
public:
    explicit process_crowd(int count);
    ~process_crowd();
    process_crowd(const process_crowd&) = delete;
    process_crowd& operator=(const process_crowd&) = delete;

private:
    std::vector<pid_t> pids_;
};
