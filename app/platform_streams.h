#pragma once

#include <cstddef>

// What the program does with its output streams beyond the console text, where platforms differ.

// Makes a console write to a closed pipe or socket fail instead of ending the process: an
// update must not stop half-way because whoever read the program's output went away (a killed
// `tee`, a dropped ssh connection, `| head`). The failed write is ignored like any other.
void keep_running_on_closed_output();

// Writes one line that says why a device or file could not be used: to standard error on
// Linux, as command-line tools there do; nowhere on Windows, whose console shows the program's
// own messages only.
void write_reason_line(const char* text, std::size_t length);
