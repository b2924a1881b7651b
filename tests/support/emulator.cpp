#include "support/emulator.h"

#include <csignal>
#include <cstdlib>
#include <regex>
#include <sstream>
#include <stdexcept>

#include "support/pty.h"

using namespace std::chrono_literals;

loader_emulator::loader_emulator(const settings& s, const std::string& work_dir)
    : image_out(work_dir + "/received.bin"), transcript(work_dir + "/transcript.txt")
{
    process_options options;
    options.argv = {TARVOLO_EMULATOR_PATH, "--com-dir", s.com_dir, "--port", std::to_string(s.port), "--image-out",
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

int loader_emulator::finish()
{
    if (!process_) {
        return status_;
    }
    if (process_->running()) {
        // It waits for a host that has given up; tell it the exchange is over.
        (void)::kill(process_->pid, SIGTERM);
    }
    output += read_until(process_->output, std::string(1, '\0'), 10s);
    status_ = process_->wait(10s);
    process_.reset();
    std::smatch found;
    if (std::regex_search(output, found, std::regex("received (\\d+) bytes, sent (\\d+) bytes"))) {
        bytes_received = std::stol(found[1]);
        bytes_sent = std::stol(found[2]);
    }
    return status_;
}

std::vector<std::string> updater_command()
{
    const char* override = std::getenv("TARVOLO_E2E_UPDATER");
    if (override == nullptr || *override == '\0') {
        return {TARVOLO_UPDATER_PATH};
    }
    std::vector<std::string> words;
    std::istringstream in(override);
    for (std::string word; in >> word;) {
        words.push_back(word);
    }
    return words;
}

std::string updater_com_dir(const std::string& fallback)
{
    const char* override = std::getenv("TARVOLO_E2E_COM_DIR");
    return override != nullptr && *override != '\0' ? override : fallback;
}
