#pragma once

#include <array>
#include <string>

namespace emu {

constexpr int PAGE_COUNT = 120;
constexpr int PAGE_SIZE = 4096;

// Every reply the device sends; the value is the reply's kind byte.
enum class reply_step { erase = 1, erase_done, crc, header, data, final_ack };

// What to do wrong at one reply. -1 means "not asked for".
struct fault_plan {
    bool silent = false;
    bool hangup = false;
    bool hangup_mid = false;
    int status = -1;
    int short_len = -1;
    int extra = -1;
    int garbage = -1;
    int delay_ms = -1;
    int drip_ms = -1;
    std::string text; // as given on the command line, for the transcript

    bool any() const { return !text.empty(); }
};

struct emulator_options {
    std::string com_dir;
    int port = 0;
    std::string image_out;
    std::string transcript;
    int baud = 0; // 0: unpaced
    int erase_ms = 2000;
    int idle_timeout_ms = 0; // 0: never
    bool posix_defaults = false;
    std::array<fault_plan, 4 + 2 * PAGE_COUNT> faults{};

    const fault_plan& fault_for(reply_step step, int page) const;
};

enum class parse_result { run, help, bad };

parse_result parse_options(int argc, char** argv, emulator_options& options, std::string& error);
const char* help_text();

} // namespace emu
