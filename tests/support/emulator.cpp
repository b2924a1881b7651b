#include "support/emulator.h"

#include <csignal>
#include <cstdlib>
#include <regex>
#include <sstream>
#include <stdexcept>
#include <unistd.h>

#include "support/expected_text.h"
#include "support/pty.h"
#include "support/temp_dir.h"

using namespace std::chrono_literals;

loader_emulator::loader_emulator(const settings& s, const std::string& work_dir)
    : port(s.com_dir, s.port), image_out(work_dir + "/received.bin"), transcript(work_dir + "/transcript.txt")
{
    process_options options;
    options.argv = {TARVOLO_EMULATOR_PATH, "--com-dir", s.com_dir, "--port", std::to_string(port.number), "--image-out",
        image_out, "--transcript", transcript, "--erase-ms", std::to_string(s.erase_ms)};
    for (const auto& fault : s.faults) {
        options.argv.push_back("--fault");
        options.argv.push_back(fault);
    }
    options.argv.insert(options.argv.end(), s.extra_args.begin(), s.extra_args.end());
    process_ = std::make_unique<child_process>(child_process::start_detached(options));
    output = read_until(process_->output, "\n", 10s);
    if (output.rfind("ready ", 0) != 0) {
        throw std::runtime_error("emulator did not start: " + output);
    }
}

loader_emulator::~loader_emulator() { (void)finish(); }

int loader_emulator::finish(std::chrono::milliseconds grace)
{
    if (!process_) {
        return status_;
    }
    (void)wait_until([this] { return !process_->running(); }, grace);
    if (process_->running()) {
        // It waits for a host that has given up; tell it the exchange is over.
        (void)::kill(process_->pid, SIGTERM);
    }
    output += read_to_end(process_->output, 10s);
    status_ = process_->wait(10s);
    process_.reset();
    std::smatch found;
    if (std::regex_search(output, found, std::regex("received (\\d+) bytes, sent (\\d+) bytes"))) {
        bytes_received = std::stol(found[1]);
        bytes_sent = std::stol(found[2]);
    }
    return status_;
}

double loader_emulator::cpu_seconds() const
{
    if (!process_) {
        return -1;
    }
    const std::string text = read_file("/proc/" + std::to_string(process_->pid) + "/stat");
    // Past the name, which may hold blanks: the state is field 3, user and system time 14 and 15.
    std::istringstream fields(text.substr(text.rfind(')') + 2));
    std::string field;
    for (int i = 3; i < 14 && fields >> field; ++i) { }
    long long user = 0;
    long long system = 0;
    fields >> user >> system;
    return static_cast<double>(user + system) / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

updater_under_test::updater_under_test()
{
    const char* exe = std::getenv("TARVOLO_E2E_WINE_EXE");
    if (exe != nullptr && *exe != '\0') {
        wine_exe = exe;
        wine_prefix = wine_exe.substr(0, wine_exe.rfind('/') + 1) + "wineprefix";
    }
}

process_options updater_under_test::options(const std::string& own_com_dir) const
{
    process_options options;
    if (wine_exe.empty()) {
        options.argv = {TARVOLO_UPDATER_PATH};
        options.set_env = {{"TARVOLO_COM_DIR", own_com_dir}};
    } else {
        options.argv = {"wine", wine_exe};
        options.set_env = {{"WINEPREFIX", wine_prefix}, {"WINEDEBUG", "-all"}, {"WINEDLLOVERRIDES", "mscoree,mshtml="}};
    }
    return options;
}

std::string updater_under_test::com_dir(const std::string& own_com_dir) const
{
    return wine_exe.empty() ? own_com_dir : wine_prefix + "/dosdevices";
}

std::string updater_under_test::console_text(const std::string& text) const
{
    return wine_exe.empty() ? text : expected::crlf(text);
}

std::string updater_under_test::reason_line(const std::string& what) const { return "tarvolo_updater: " + what + "\n"; }
