#include "app/platform_streams.h"

// A port is a handle, never a descriptor number that a closed stream could lend it.
void keep_standard_streams_taken() { }

// A write to a closed pipe already fails with an error here and ends nothing.
void keep_running_on_closed_output() { }

// The Windows console shows the program's own messages and nothing else.
void write_reason_line(const char* /*text*/, std::size_t /*length*/) { }
