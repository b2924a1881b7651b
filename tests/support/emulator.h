#pragma once

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "support/process.h"

// The loader emulator playing the device on COM port `port`, linked into `com_dir`.
class loader_emulator {
public:
    struct settings {
        std::string com_dir;
        int port = 5;
        std::vector<std::string> faults; // each "WHERE=WHAT"
        int erase_ms = 200;
        std::vector<std::string> extra_args;
    };

    explicit loader_emulator(const settings& s, const std::string& work_dir);
    ~loader_emulator();
    loader_emulator(const loader_emulator&) = delete;
    loader_emulator& operator=(const loader_emulator&) = delete;

    // Ends the emulator (it is told to stop if still running) and returns its exit status.
    int finish();

    std::string image_out;  // the image it received, once complete
    std::string transcript; // its record of the exchange
    std::string output;     // everything it printed
    long bytes_received = -1;
    long bytes_sent = -1;

private:
    std::unique_ptr<child_process> process_;
    int status_ = -1;
};

// The command that runs the updater: TARVOLO_E2E_UPDATER (words split at blanks) when set, so
// the same cases can run another build of it, else the Linux build of this tree.
std::vector<std::string> updater_command();
// Where the updater looks for its COM ports: TARVOLO_E2E_COM_DIR when set, else `fallback`.
std::string updater_com_dir(const std::string& fallback);
