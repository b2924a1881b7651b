#include "app/closed_output.h"

#include <csignal>

void keep_running_on_closed_output()
{
    struct sigaction ignore { };
    ignore.sa_handler = SIG_IGN;
    (void)sigemptyset(&ignore.sa_mask);
    // Cannot fail for SIGPIPE; if it did, a closed output would end the run as before.
    (void)sigaction(SIGPIPE, &ignore, nullptr);
}
