#pragma once

#include <cstddef>

constexpr std::size_t COMPORT_NAME_ROOM = 16;

// The two name buffers of the port. Ports 1 to 9 go by their short DOS name; from 10 upwards
// Windows only knows them under the device namespace prefix.
struct comport_names {
    char name_comport[COMPORT_NAME_ROOM] = "\\\\.\\COM";
    char name_comport_short[COMPORT_NAME_ROOM] = "COM";
};

// Writes the digits of `num_comport` (1 to 255) into the buffer its form uses and returns that
// buffer. Returns nullptr for a number outside 1 to 255.
const char* build_comport_name(comport_names& names, int num_comport);

// The port number a name built above stands for, or 0 for anything else.
int comport_number_of(const char* name);
