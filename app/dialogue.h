#pragma once

#include <cstddef>

#include "common/phase_result.h"

// Room for the file name: at most 254 characters and the terminating zero.
constexpr std::size_t FIRMWARE_FILE_ROOM = 255;

void show_banner();

// Asks until a port number from 1 to 255 is given. Fails only when standard input ends.
phase_result ask_port_number(int& num_comport);

enum class file_name_answer { given, too_long, end_of_input };

// Reads one word into `firmware_file`. A word that does not fit is refused, not cut: a cut name
// could open a different file.
file_name_answer ask_file_name(char (&firmware_file)[FIRMWARE_FILE_ROOM]);
