#include "app/main_sequence.h"
#include "app/platform_streams.h"
#include "app/raw_key.h"
#include "app/standard_console.h"

int main()
{
    keep_standard_streams_taken();
    keep_running_on_closed_output();
    end_run_on_interrupt();
    // Arguments are ignored: everything the run needs comes from the dialogue and the file.
    const console_scope operator_console(standard_console());
    const auto port = make_platform_port();
    return run_main_sequence(*port);
}
