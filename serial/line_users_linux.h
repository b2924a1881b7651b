#pragma once

#include <optional>
#include <string>

#include "common/process_text.h"
#include "common/refusal.h"

// Refused when the terminal open on `fd` (opened by the name `path`) is not free for this program
// to flash through: somebody's session runs on it, another program has it
// open, or a live lock file says that one is about to. Asked before anything on the line is
// changed, so that a refused line is left exactly as found.
refusal why_line_is_taken(int fd, const char* path);

// Why the line open on `fd`, found free when it was opened, is no longer this program's alone:
// another program has opened it since (root passes the exclusive flag, and so does a program
// that ignores it), and would take the device's replies. Nothing while nobody has.
refusal why_line_was_opened_meanwhile(int fd);

// Another program than this one and the processes that started it with the line open on `fd`:
// one that opened it since it was found free, and has it still.
std::optional<other_program> stranger_on_line(int fd);

// Why the exchange ended, or a step of it failed, after another program opened the line during
// the update: `opener`, where it still had the line open, or one gone again.
refusal why_opened_during_update(const std::optional<other_program>& opener);

// Who holds the line `path` when its open was refused by another program's exclusive flag: the
// reason with the holder named where /proc shows it, else without.
refusal why_line_is_busy(const char* path);

// Whether the flock that another open of the line's node holds (`fd` found it taken) belongs to
// the processes that started this program, as `flock LINE updater` takes it for the run; false
// when any other process holds one.
bool locked_for_this_run(int fd);
