#include "app/platform_streams.h"

#include <csignal>
#include <cstdio>

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
