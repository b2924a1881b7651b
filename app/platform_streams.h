#pragma once

#include <cstddef>

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

// Writes one line that says why a device or file could not be used: to standard error on
// Linux, as command-line tools there do; nowhere on Windows, whose console shows the program's
// own messages only.
void write_reason_line(const char* text, std::size_t length);
