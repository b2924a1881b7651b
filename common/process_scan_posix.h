#pragma once

#include <optional>
#include <string>
#include <sys/types.h>

#include "common/process_text.h"

// Other programs at work on the same line or file, as /proc shows them on Linux (elsewhere none is
// ever found). Processes that /proc hides from this user (another user's, under hidepid) are not
// seen, and a process is never found by its threads alone. This program itself is never found.

// Another process with a descriptor on the character device `device` (its st_rdev).
std::optional<other_program> device_holder(dev_t device);

// Another process with a descriptor that may write the file `inode` on `file_system`.
std::optional<other_program> file_writer(dev_t file_system, ino_t inode);

// A process whose controlling terminal is `device`: a shell's, a login's or a getty's.
std::optional<other_program> terminal_session(dev_t device);

// The first kilobyte of a small file below the folder `dir` (AT_FDCWD: the current one), without
// waiting for it; empty when it cannot be read (a process ended meanwhile, no such lock).
std::string start_of_file(int dir, const char* path);

// The target of the link `path`, however long; empty when `path` is no link.
std::string link_target(const std::string& path);

// `path` with every link and ".." resolved; empty when it leads nowhere.
std::string real_path(const std::string& path);

// The process `pid`, with its name, if it is alive (signals it would refuse count as alive, a
// zombie or a kernel thread does not).
std::optional<other_program> live_process(long pid);

// Whether `pid` is this program or one of the processes that started it, as a wrapper that took
// a line's lock for it before it ran.
bool is_self_or_ancestor(long pid);

// What the lock file `path` says, at most LOCK_FILE_MOST bytes; empty unless it is a plain file
// (a link, a device or a FIFO is never opened) that can be read now.
std::string lock_file_content(const char* path);
