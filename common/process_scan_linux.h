#pragma once

#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

#include "common/file_readers_posix.h"
#include "common/process_text.h"

// Other programs at work on the same line or file, as /proc shows them on Linux (elsewhere none is
// ever found). Processes that /proc hides from this user (another user's, under hidepid) are not
// seen, and a process is never found by its threads alone. This program itself is never found.

// The processes that started this one, nearest first, up to the first process (which is not
// among them): a wrapper that holds or locks the line for the run, as `flock LINE updater` or a
// script that keeps the line open to hold its modem lines steady, is the station's own.
std::vector<long> ancestors();

// A terminal device as the scans tell it apart: its device number and, for a pseudo-terminal, the
// devpts instance its node is in (its st_dev), as each instance numbers its terminals from 0 with
// the same device numbers: a container's /dev/pts/5 is not the host's. 0: any node of the number
// reaches the same line, as a real line's number names the hardware.
struct line_node {
    dev_t device = 0;
    dev_t instance = 0;
};

// What one pass over /proc found on a line: a process whose controlling terminal it is, and
// another process, not among `own`, with a descriptor on it.
struct line_users {
    std::optional<other_program> session;
    std::optional<other_program> holder;
};

// One pass over /proc for `line`; `sessions` also looks for a session whose terminal it is, which
// then ends the pass.
line_users users_of_line(const line_node& line, const std::vector<long>& own, bool sessions);

// Another process, not among `own`, with a descriptor on `line`.
std::optional<other_program> device_holder(const line_node& line, const std::vector<long>& own);

// Another process with a descriptor that may write the file `inode` on `file_system`.
std::optional<other_program> file_writer(dev_t file_system, ino_t inode);

// The process `pid`, with its name, if it is alive (signals it would refuse count as alive, a
// zombie or a kernel thread does not).
std::optional<other_program> live_process(long pid);

// Whether `pid` is this program or one of the processes that started it (the first process
// included), as a wrapper that took a line's lock for it before it ran.
bool is_self_or_ancestor(long pid);

// The processes that hold a flock on the file `inode` of `file_system`, as /proc/locks shows them.
std::vector<long> flock_holders(dev_t file_system, ino_t inode);
