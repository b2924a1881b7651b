#pragma once

// Every open of the line's device node, as the kernel reports it (inotify on Linux), from the
// moment the watch is armed to its end: a look over /proc sees who had the line open then, the
// watch who opened it after, root and programs that ignore the exclusive flag included. It does
// not say who: an open seen is looked up in /proc. Elsewhere, and where the kernel has no watch
// to give (its limit of watches per user reached), it is never armed.
class line_watch {
public:
    line_watch() = default;
    ~line_watch();
    line_watch(const line_watch&) = delete;
    line_watch& operator=(const line_watch&) = delete;

    // Starts watching the node that the open descriptor `fd` was opened by; false when it cannot.
    bool arm(int fd);
    void disarm();
    bool armed() const { return watch_fd_ >= 0; }
    // Readable (for poll) once an open has been seen; -1 while not armed.
    int descriptor() const { return watch_fd_; }
    // Whether an open has been seen since the last call (or more than the kernel could queue);
    // takes what is queued, never waits.
    bool opened_since() const;

private:
    int watch_fd_ = -1;
};
