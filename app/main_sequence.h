#pragma once

#include <cstddef>
#include <cstdlib>

#include "serial/serial_port.h"

using allocate_fn = void* (*)(std::size_t);

// One whole run: buffers, banner, port, image, start key, update, exit prompt. Returns the exit
// status: 0 when the device acknowledged the complete update, 1 for every failure.
int run_main_sequence(serial_port& port, allocate_fn allocate = std::malloc);
