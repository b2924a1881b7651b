#pragma once

#include <cstddef>
#include <string>

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

// The file name as typed, in the form the image open and the reason lines take. A Windows
// console hands over the bytes in its input code page, redirected input comes in the ANSI code
// page; both become UTF-8. On Linux a name is bytes and stays as it is.
std::string typed_file_name(const char* typed);
