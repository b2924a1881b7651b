#pragma once

#include <cstddef>
#include <string>

// What other programs leave for others to read about themselves: the kernel's lines in /proc and
// the lock files of serial lines. Read apart from the scans that find them, so that any text, a
// hostile command name included, can be tried on every build.

// Another program, as an operator can look it up (`ps -p PID`).
struct other_program {
    long pid = 0;
    std::string name; // its command name, empty when it could not be read
};

// "PID 4242, cp", or "PID 4242" without a name.
std::string describe(const other_program& program);

// The controlling terminal in a /proc/PID/stat line, in the kernel's encoding of a device number;
// 0 when the process has none or the line is not one.
unsigned long terminal_in_stat(const std::string& stat);

// Splits the kernel's encoding of a terminal's device number (12 bits of major, 20 of minor).
unsigned long terminal_major(unsigned long terminal);
unsigned long terminal_minor(unsigned long terminal);

// Whether a /proc/PID/fdinfo/N text says that the descriptor may write: its "flags:" line, in
// octal, with an access mode other than read-only. False when there is no such line.
bool fdinfo_may_write(const std::string& fdinfo);

// The process named by a serial line's lock file: ten ASCII digits and a line feed as most
// programs write it, or the process number as a 4-byte binary integer as older ones did. 0 when
// the content names none.
long pid_in_lock_file(const std::string& content);

// The lock file's name for a device: its path below /dev, with any further '/' made '_'
// ("/dev/ttyS1" gives "LCK..ttyS1", "/dev/pts/3" gives "LCK..pts_3"); empty outside /dev.
std::string lock_file_name(const std::string& device_path);
