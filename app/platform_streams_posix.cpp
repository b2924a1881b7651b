#include "app/platform_streams.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

void keep_standard_streams_taken()
{
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF) {
            continue;
        }
        // The lowest free number is this one, the lower ones being open by now. Without a null
        // device (a bare chroot) the root folder holds the number: writes to it fail, like
        // writes to a closed stream, and reads end at once.
        const int flags = fd == STDIN_FILENO ? O_RDONLY : O_WRONLY;
        if (::open("/dev/null", flags | O_NOCTTY) < 0) {
            (void)::open("/", O_RDONLY | O_DIRECTORY);
        }
    }
}

void keep_running_on_closed_output()
{
    struct sigaction ignore { };
    ignore.sa_handler = SIG_IGN;
    (void)sigemptyset(&ignore.sa_mask);
    // Cannot fail for SIGPIPE; if it did, a closed output would end the run as before.
    (void)sigaction(SIGPIPE, &ignore, nullptr);
}

void write_reason_line(const char* text, std::size_t length)
{
    // Standard error is unbuffered: the line stands right after the message it explains. Nobody
    // is left to tell if it cannot be written.
    (void)std::fwrite(text, 1, length, stderr);
}

int read_standard_input() { return std::getc(stdin); }

void unread_standard_input(int c) { (void)std::ungetc(c, stdin); } // one byte always fits

refusal why_not_a_name(const char* /*typed*/) { return refusal(); }

std::vector<std::string> other_readings_of(const char* /*typed*/) { return {}; }
