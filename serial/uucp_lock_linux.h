#pragma once

#include <cstddef>
#include <string>

// The UUCP convention for serial lines' lock files, which minicom, picocom, ModemManager and the
// like follow: a file named after the line in the lock folder, holding the number of the process
// that has the line.

// The process named by a serial line's lock file: ten ASCII digits and a line feed as most
// programs write it, or the process number as a 4-byte binary integer as older ones did. 0 when
// the content names none.
long pid_in_lock_file(const std::string& content);

// The most a lock file holds in either form: ten digits and a line feed. Nothing past it is read.
constexpr std::size_t LOCK_FILE_MOST = 11;

// The lock file's name for a device: its path below /dev, with any further '/' made '_'
// ("/dev/ttyS1" gives "LCK..ttyS1", "/dev/pts/3" gives "LCK..pts_3"); empty outside /dev.
std::string lock_file_name(const std::string& device_path);

// What the lock file `path` says, at most LOCK_FILE_MOST bytes; empty unless it is a plain file
// (a link, a device or a FIFO is never opened) that can be read now.
std::string lock_file_content(const char* path);
