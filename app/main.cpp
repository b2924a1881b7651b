#include "app/main_sequence.h"

int main()
{
    // Arguments are ignored: everything the run needs comes from the dialogue and the file.
    const auto port = make_platform_port();
    return run_main_sequence(*port);
}
