#include "support/process.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <grp.h>
#include <sched.h>
#include <sstream>
#include <stdexcept>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "support/pty.h"

namespace {

using steady = std::chrono::steady_clock;

[[noreturn]] void exec_child(const process_options& options)
{
    // The program's signal handling is under test; what the test runner ignores must not leak in.
    for (const int sig : {SIGHUP, SIGINT, SIGTERM, SIGQUIT, SIGPIPE}) {
        (void)std::signal(sig, SIG_DFL);
    }
    for (const auto& name : options.unset_env) {
        (void)::unsetenv(name.c_str());
    }
    for (const auto& [name, value] : options.set_env) {
        (void)::setenv(name.c_str(), value.c_str(), 1);
    }
    for (const int sig : options.ignored_signals) {
        (void)std::signal(sig, SIG_IGN);
    }
    if (!options.working_dir.empty() && ::chdir(options.working_dir.c_str()) != 0) {
        ::_exit(126);
    }
    if (options.run_as_uid != static_cast<uid_t>(-1) &&
        (::setgroups(0, nullptr) != 0 || ::setgid(options.run_as_gid) != 0 || ::setuid(options.run_as_uid) != 0)) {
        ::_exit(125); // a test that asked for an ordinary user must never run as root instead
    }
    std::vector<char*> argv;
    for (const auto& arg : options.argv) {
        argv.push_back(const_cast<char*>(arg.c_str()));
    }
    argv.push_back(nullptr);
    for (const int fd : options.closed_streams) {
        (void)::close(fd);
    }
#ifdef TARVOLO_TARGET_LAUNCHER
    // A cross build's program is not this machine's to run: the kernel refuses it, as it does
    // without binfmt_misc, and the toolchain's emulator runs it instead. execv, as execvp would
    // hand such a file to /bin/sh as a script.
    ::execv(argv[0], argv.data());
    if (errno == ENOEXEC) {
        std::vector<std::string> words = target_launcher();
        std::vector<char*> launched;
        for (auto& word : words) {
            launched.push_back(word.data());
        }
        launched.insert(launched.end(), argv.begin(), argv.end());
        ::execvp(launched[0], launched.data());
        ::_exit(127);
    }
#endif
    ::execvp(argv[0], argv.data());
    ::_exit(127);
}

// Forks; the child runs in a session of its own, with `stdin_fd` as standard input and
// `stdout_fd` as standard output and error (the slave of `tty_path` for both when that is given).
pid_t spawn(const process_options& options, int stdin_fd, int stdout_fd, const char* tty_path)
{
    const pid_t pid = ::fork();
    if (pid < 0) {
        throw std::runtime_error("fork");
    }
    if (pid == 0) {
        (void)::setsid();
        if (tty_path != nullptr) {
            // The first terminal a session leader opens becomes its controlling terminal.
            stdin_fd = stdout_fd = ::open(tty_path, O_RDWR);
            if (stdin_fd < 0) {
                ::_exit(126);
            }
        }
        (void)::dup2(stdin_fd, 0);
        (void)::dup2(stdout_fd, 1);
        (void)::dup2(stdout_fd, 2);
        exec_child(options);
    }
    return pid;
}

int decode(int raw)
{
    if (WIFEXITED(raw)) {
        return WEXITSTATUS(raw);
    }
    return WIFSIGNALED(raw) ? 128 + WTERMSIG(raw) : -1;
}

} // namespace

child_process child_process::start_detached(const process_options& options)
{
    // A program that ends before reading all its input must not take the test runner with it.
    (void)std::signal(SIGPIPE, SIG_IGN);
    int in[2];
    int out[2];
    if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0) {
        throw std::runtime_error("pipe");
    }
    if (options.output_closed) {
        (void)::close(out[0]);
        out[0] = -1;
    }
    child_process child;
    child.pid = spawn(options, in[0], out[1], nullptr);
    (void)::close(in[0]);
    (void)::close(out[1]);
    child.input = in[1];
    child.output = out[0];
    return child;
}

child_process child_process::start_on_terminal(const process_options& options, pty_pair& tty)
{
    child_process child;
    child.pid = spawn(options, -1, -1, tty.slave_path.c_str());
    return child;
}

child_process::child_process(child_process&& other) noexcept
    : pid(other.pid), input(other.input), output(other.output), status_(other.status_), reaped_(other.reaped_),
      signalled_(other.signalled_)
{
    other.pid = -1;
    other.input = -1;
    other.output = -1;
}

child_process::~child_process()
{
    if (pid > 0 && !reaped_) {
        (void)::kill(pid, SIGKILL);
        (void)wait(std::chrono::milliseconds(5000));
    }
    close_input();
    if (output >= 0) {
        (void)::close(output);
    }
}

void child_process::send_input(const std::string& text) const { (void)write_all(input, text); }

void child_process::close_input()
{
    if (input >= 0) {
        (void)::close(input);
        input = -1;
    }
}

bool child_process::running()
{
    if (reaped_) {
        return false;
    }
    int raw = 0;
    if (::waitpid(pid, &raw, WNOHANG) == pid) {
        reaped_ = true;
        status_ = decode(raw);
        signalled_ = WIFSIGNALED(raw);
        return false;
    }
    return true;
}

int child_process::wait(std::chrono::milliseconds timeout)
{
    if (!wait_until([this] { return !running(); }, timeout)) {
        (void)::kill(pid, SIGKILL);
        int raw = 0;
        (void)::waitpid(pid, &raw, 0);
        reaped_ = true;
        status_ = -1;
    }
    return status_;
}

run_result run_detached(const process_options& options, const std::string& input, std::chrono::milliseconds timeout,
    const std::string& marker, const std::function<void()>& meanwhile)
{
    const auto start = steady::now();
    child_process child = child_process::start_detached(options);
    // The pipe holds far more than any test's answers, so this never blocks.
    child.send_input(input);
    child.close_input();
    run_result result;
    if (child.output >= 0) {
        if (!marker.empty()) {
            result.output = read_until(child.output, marker, timeout);
            if (meanwhile) {
                meanwhile();
            }
        }
        result.output += read_to_end(child.output, timeout);
    }
    result.status = child.wait(child.output >= 0 ? std::chrono::milliseconds(2000) : timeout);
    result.seconds = std::chrono::duration<double>(steady::now() - start).count();
    return result;
}

run_result run_answering(const process_options& options,
    const std::vector<std::pair<std::string, std::string>>& marker_then_input, std::chrono::milliseconds timeout)
{
    const auto start = steady::now();
    child_process child = child_process::start_detached(options);
    run_result result;
    for (const auto& [marker, input] : marker_then_input) {
        if (!marker.empty()) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(start + timeout - steady::now());
            result.output += read_until(child.output, marker, std::max(left, std::chrono::milliseconds(0)));
        }
        child.send_input(input);
    }
    child.close_input();
    result.output += read_to_end(child.output, timeout);
    result.status = child.wait(std::chrono::milliseconds(2000));
    result.seconds = std::chrono::duration<double>(steady::now() - start).count();
    return result;
}

std::string command_name(pid_t pid)
{
    std::ifstream comm("/proc/" + std::to_string(pid) + "/comm");
    std::string name;
    std::getline(comm, name);
    return name;
}

bool wait_until(const std::function<bool()>& ready, std::chrono::milliseconds timeout)
{
    const auto deadline = steady::now() + timeout;
    while (!ready()) {
        if (steady::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

bool wait_until_open(const std::string& path, std::chrono::milliseconds timeout, pid_t pid)
{
    namespace fs = std::filesystem;
    // Processes and their files come and go meanwhile: nothing here may throw.
    const auto has_open = [&path](const fs::path& process) {
        std::error_code gone;
        for (fs::directory_iterator fd(process / "fd", gone), end; !gone && fd != end; fd.increment(gone)) {
            std::error_code unreadable;
            if (fs::read_symlink(fd->path(), unreadable) == path) {
                return true;
            }
        }
        return false;
    };
    return wait_until(
        [&] {
            if (pid != 0) {
                return has_open("/proc/" + std::to_string(pid));
            }
            std::error_code error;
            for (fs::directory_iterator process("/proc", error), end; !error && process != end;
                 process.increment(error)) {
                if (has_open(process->path())) {
                    return true;
                }
            }
            return false;
        },
        timeout);
}

std::vector<std::string> target_launcher()
{
    std::vector<std::string> words;
#ifdef TARVOLO_TARGET_LAUNCHER
    std::istringstream launcher(TARVOLO_TARGET_LAUNCHER);
    for (std::string word; launcher >> word;) {
        words.push_back(word);
    }
#endif
    return words;
}

std::string shell_command(const std::string& program)
{
#ifdef TARVOLO_TARGET_LAUNCHER
    return std::string(TARVOLO_TARGET_LAUNCHER) + " " + program;
#else
    return program;
#endif
}

line_opener::line_opener(const std::string& path, when opens, bool keeps_it)
{
    start([&path] { return ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK); }, keeps_it);
    if (opens == when::now) {
        (void)open_now();
    }
}

line_opener::line_opener(const another_devpts& line)
{
    start(
        [&line]() -> int {
            if (::unshare(CLONE_NEWNS) != 0 || ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
                ::mount("devpts", line.mount_dir.c_str(), "devpts", 0, "newinstance,ptmxmode=0666") != 0) {
                return -1;
            }
            // The instance numbers its terminals from 0: the masters before ours stay open, so
            // that the number is not given again.
            for (;;) {
                const int master = ::open((line.mount_dir + "/ptmx").c_str(), O_RDWR | O_NOCTTY);
                unsigned number = 0;
                int unlocked = 0;
                if (master < 0 || ::ioctl(master, TIOCGPTN, &number) != 0 || static_cast<int>(number) > line.number) {
                    return -1;
                }
                if (static_cast<int>(number) == line.number && ::ioctl(master, TIOCSPTLCK, &unlocked) == 0) {
                    break;
                }
            }
            if (line.as_session && ::setsid() < 0) {
                return -1;
            }
            return ::open((line.mount_dir + "/" + std::to_string(line.number)).c_str(),
                O_RDWR | O_NONBLOCK | (line.as_session ? 0 : O_NOCTTY));
        },
        true);
    (void)open_now();
}

void line_opener::start(const std::function<int()>& open_in_child, bool keeps_it)
{
    int go[2] = {-1, -1};
    int report[2] = {-1, -1};
    if (::pipe2(go, O_CLOEXEC) != 0 || ::pipe2(report, O_CLOEXEC) != 0) {
        return;
    }
    pid = ::fork();
    if (pid == 0) {
        // Nothing of the test's: a copy of a test's pseudo-terminal end would keep a hang-up away.
        for (int other = 3; other < 1024; ++other) {
            if (other != go[0] && other != report[1]) {
                (void)::close(other);
            }
        }
        char told = 0;
        if (::read(go[0], &told, 1) == 1) {
            const int fd = open_in_child();
            if (fd >= 0 && !keeps_it) {
                (void)::close(fd);
            }
            const char opened_it = fd >= 0 ? 1 : 0;
            (void)::write(report[1], &opened_it, 1);
        }
        for (;;) {
            (void)::pause();
        }
    }
    (void)::close(go[0]);
    (void)::close(report[1]);
    go_ = go[1];
    report_ = report[0];
}

bool line_opener::open_now()
{
    char opened_it = 0;
    opened = pid > 0 && ::write(go_, "o", 1) == 1 && ::read(report_, &opened_it, 1) == 1 && opened_it == 1;
    return opened;
}

line_opener::~line_opener()
{
    for (const int fd : {go_, report_}) {
        if (fd >= 0) {
            (void)::close(fd);
        }
    }
    if (pid > 0) {
        (void)::kill(pid, SIGKILL);
        (void)::waitpid(pid, nullptr, 0);
    }
}

process_crowd::process_crowd(int count)
{
    for (int i = 0; i < count; ++i) {
        const pid_t child = ::fork();
        if (child == 0) {
            for (;;) {
                (void)::pause();
            }
        }
        if (child > 0) {
            pids_.push_back(child);
        }
    }
}

process_crowd::~process_crowd()
{
    for (const pid_t child : pids_) {
        (void)::kill(child, SIGKILL);
    }
    for (const pid_t child : pids_) {
        (void)::waitpid(child, nullptr, 0);
    }
}
