#pragma once

#include <cstddef>
#include <string>
#include <vector>

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

// The state letter of a /proc/PID/stat line (Z for a zombie), '\0' when the line is not one.
char state_in_stat(const std::string& stat);

// The parent's process number in a /proc/PID/stat line; 0 when it has none or the line is not one.
long parent_in_stat(const std::string& stat);

// Whether a /proc/PID/stat line is a kernel thread's (PF_KTHREAD among its flags): no program,
// and no holder of a serial line's lock.
bool kernel_thread_in_stat(const std::string& stat);

// Splits the kernel's encoding of a terminal's device number (12 bits of major, 20 of minor).
unsigned long terminal_major(unsigned long terminal);
unsigned long terminal_minor(unsigned long terminal);

// Whether a /proc/PID/fdinfo/N text says that the descriptor may write: its "flags:" line, in
// octal, with an access mode other than read-only. False when there is no such line.
bool fdinfo_may_write(const std::string& fdinfo);

// Whether a /proc/PID/fdinfo/N text is that of a descriptor that reaches its file: not one opened
// with O_PATH, which only names it and can neither read nor write it. True when there is no
// flags line to tell.
bool fdinfo_reaches_file(const std::string& fdinfo);

// Whether a /proc/PID/fdinfo/N text shows a lease on its file, held or being broken: while it is
// listed, a writer that wants the file still waits.
bool fdinfo_holds_lease(const std::string& fdinfo);

// The processes that /proc/locks text shows holding a flock (not waiting for one) on the file
// `inode` of the file system `major`:`minor`.
std::vector<long> flock_holders_in_locks(
    const std::string& locks, unsigned long major, unsigned long minor, unsigned long long inode);
