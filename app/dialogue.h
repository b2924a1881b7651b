#pragma once

#include <cstddef>

#include "common/phase_result.h"

// The most characters a file name may have, counted as the operator sees them (code points of
// UTF-8; a byte that is not part of UTF-8 counts as one).
constexpr std::size_t FIRMWARE_FILE_CHARACTERS = 254;
// Room for the file name in bytes: the characters of a name in double quotes, each of up to four
// bytes of UTF-8, and the terminating zero.
constexpr std::size_t FIRMWARE_FILE_ROOM = (FIRMWARE_FILE_CHARACTERS + 2) * 4 + 1;

void show_banner();

// Asks until a port number from 1 to 255 is given. Fails only when standard input ends.
phase_result ask_port_number(int& num_comport);

// `too_long`, `zero_byte`: a word that cannot be taken whole, because it does not fit or holds a
// zero byte (where a C string would end). Cutting it could open a different file.
// `cut_at_blank`: a word that opens a double quote and ends at a blank before closing it, a quoted
// path with a blank in it; it is kept as read, to be refused.
enum class file_name_answer { given, too_long, zero_byte, cut_at_blank, end_of_input };

// Reads one word into `firmware_file`, without one pair of double quotes around it whole (a path
// copied from Explorer carries them, and no Windows name holds one); of a word refused, the part
// read before the refusal, at most 254 characters of it.
file_name_answer ask_file_name(char (&firmware_file)[FIRMWARE_FILE_ROOM]);
