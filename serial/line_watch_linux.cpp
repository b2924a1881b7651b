#include "serial/line_watch_linux.h"

#include <cerrno>
#include <cstring>
#include <string>
#include <sys/inotify.h>
#include <unistd.h>

line_watch::~line_watch() { disarm(); }

bool line_watch::arm(int fd)
{
    disarm();
    const int watch = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (watch < 0) {
        return false;
    }
    // Through the descriptor's own link: the node that was opened, whatever the name or a link to
    // it leads to by now.
    const std::string node = "/proc/self/fd/" + std::to_string(fd);
    if (::inotify_add_watch(watch, node.c_str(), IN_OPEN) < 0) {
        (void)::close(watch);
        return false;
    }
    watch_fd_ = watch;
    return true;
}

void line_watch::disarm()
{
    if (watch_fd_ >= 0) {
        (void)::close(watch_fd_); // only events are lost
        watch_fd_ = -1;
    }
}

bool line_watch::opened_since() const
{
    bool seen = false;
    alignas(inotify_event) char events[64 * sizeof(inotify_event)];
    while (watch_fd_ >= 0) {
        const ssize_t length = ::read(watch_fd_, events, sizeof events);
        if (length < 0 && errno == EINTR) {
            continue;
        }
        if (length <= 0) {
            break; // nothing more queued
        }
        for (ssize_t at = 0; at + static_cast<ssize_t>(sizeof(inotify_event)) <= length;) {
            inotify_event event{};
            std::memcpy(&event, events + at, sizeof event);
            // IN_Q_OVERFLOW: more opens than the kernel could queue. The node's removal (an adapter
            // unplugged, a pseudo-terminal's far end closed) ends the watch and is no open.
            seen = seen || (event.mask & (IN_OPEN | IN_Q_OVERFLOW)) != 0;
            at += static_cast<ssize_t>(sizeof event + event.len);
        }
    }
    return seen;
}
