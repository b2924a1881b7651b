#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "common/refusal.h"

// What the program does with its output streams beyond the console text, where platforms differ.

// Gives each standard stream that the program was started without (`prog >&-`, a service
// manager that closes what it does not need) a null device, before anything else is opened: the
// port would otherwise take the lowest free descriptor, 1 or 2, and the console text would go
// down the serial line among the frames. A closed input reads as at its end, as before.
void keep_standard_streams_taken();

// Makes a console write to a closed pipe or socket fail instead of ending the process: an
// update must not stop half-way because whoever read the program's output went away (a killed
// `tee`, a dropped ssh connection, `| head`). The failed write is ignored like any other.
void keep_running_on_closed_output();

// Writes one line (UTF-8) that says why a device or file could not be used, to standard error
// as command-line tools do; at a Windows console in the console's own characters.
void write_reason_line(const char* text, std::size_t length);

// Standard input as the dialogue reads it: the next byte, or EOF at its end. On Windows the bytes
// are UTF-8, whatever the operator typed or wrote them in, so that no code page ever turns a
// character into a look-alike: keys at a console are read as UTF-16, and an answers file is read
// as `answers_file` says. On Linux they are the bytes as they come, as a name is bytes there.
int read_standard_input();
// Puts back the byte just read, for the next question.
void unread_standard_input(int c);

// Refused when the name as typed can name no file here: on Windows, bytes that are no characters
// in the encoding its answer was read in. On Linux every name is bytes, and a name.
refusal why_not_a_name(const char* typed);

// The names that the answer just read as `typed` may stand for besides itself: on Windows, what
// the other encodings an answers file's line may be in make of the same bytes (the line had no
// byte-order mark, and is text in more than one of them). None for keys typed at a console, and
// none on Linux, where a name is its bytes.
std::vector<std::string> other_readings_of(const char* typed);
