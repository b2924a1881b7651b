#pragma once

#include <cstddef>

#include "common/phase_result.h"

// Room for the file name: at most 254 characters and the terminating zero.
constexpr std::size_t FIRMWARE_FILE_ROOM = 255;

void show_banner();

// Asks until a port number from 1 to 255 is given. Fails only when standard input ends.
phase_result ask_port_number(int& num_comport);

// `too_long`, `zero_byte`: a word that cannot be taken whole, because it does not fit or holds a
// zero byte (where a C string would end). Cutting it could open a different file.
enum class file_name_answer { given, too_long, zero_byte, end_of_input };

// Reads one word into `firmware_file`; of a word refused, the part read before the refusal.
file_name_answer ask_file_name(char (&firmware_file)[FIRMWARE_FILE_ROOM]);
