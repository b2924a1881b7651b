#pragma once

#include "options.h"
#include "pty_link.h"
#include "transcript.h"

#include <cstdint>
#include <string>
#include <vector>

namespace emu {

constexpr std::size_t IMAGE_SIZE = static_cast<std::size_t>(PAGE_COUNT) * PAGE_SIZE;
constexpr std::size_t IMAGE_CRC_SPAN = IMAGE_SIZE - 16;

struct run_result {
    bool complete = false;
    std::string end; // how the exchange ended
    std::string first_problem; // first thing that kept it from being perfect
    int pages_accepted = 0;
    std::uint16_t image_crc = 0;
    std::vector<std::uint8_t> image = std::vector<std::uint8_t>(IMAGE_SIZE);
};

// Plays the loader until the exchange ends. Checks the host strictly: any
// refusal, withheld reply or unexpected frame makes the run incomplete.
run_result run_exchange(const emulator_options& options, pty_link& link, transcript_log& transcript);

} // namespace emu
