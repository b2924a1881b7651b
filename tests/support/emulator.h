#pragma once

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "support/process.h"
#include "support/pty.h"

// The loader emulator playing the device on a COM port linked into `com_dir`.
class loader_emulator {
public:
    struct settings {
        std::string com_dir;
        std::optional<int> port; // none: a number of its own (com_port)
        std::vector<std::string> faults; // each "WHERE=WHAT"
        int erase_ms = 200;
        std::vector<std::string> extra_args;
    };

    explicit loader_emulator(const settings& s, const std::string& work_dir);
    ~loader_emulator();
    loader_emulator(const loader_emulator&) = delete;
    loader_emulator& operator=(const loader_emulator&) = delete;

    // Ends the emulator, told to stop if it has not ended by itself within `grace`, and returns
    // its exit status.
    int finish(std::chrono::milliseconds grace = std::chrono::milliseconds(0));
    // The processor time it has used so far, in seconds; -1 once it has ended.
    double cpu_seconds() const;

    const com_port port;
    std::string image_out; // the image it received, once complete
    std::string transcript; // its record of the exchange
    std::string output; // everything it printed
    long bytes_received = -1;
    long bytes_sent = -1;

private:
    std::unique_ptr<child_process> process_;
    int status_ = -1;
};

// Which build of the updater the end-to-end cases run. By default the Linux build of this tree;
// with TARVOLO_E2E_WINE_EXE naming a tarvolo_updater.exe, that .exe under wine, in the prefix
// "wineprefix" beside it, whose dosdevices folder holds the COM port links.
struct updater_under_test {
    updater_under_test();

    // Runs the updater with its COM ports in `own_com_dir` where the build reads the folder from
    // the environment; the wine build has its ports in the prefix instead.
    process_options options(const std::string& own_com_dir) const;
    std::string com_dir(const std::string& own_com_dir) const;
    // The console text as this build writes it: a Windows text stream turns "\n" into CR LF.
    std::string console_text(const std::string& text) const;
    // "tarvolo_updater: WHAT\n" as this build writes it beside the console text: on standard
    // error, in the same pipe (under wine, with the console text's line end).
    std::string reason_line(const std::string& what) const;

    std::string wine_exe;
    std::string wine_prefix;
};
