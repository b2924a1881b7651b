#pragma once

// What the program changes on the line it holds, kept where a signal handler can reach it, so
// that it is given back before the program lets go of the line, also when a signal ends the run:
// the exclusive flag outlives the program on a line that something else keeps open (a serial
// bridge, a virtual null-modem), and the low-latency flag changes the driver's behaviour for
// every later user of the adapter. One line is recorded at a time.

// Records `fd` as the line whose changes are given back, and puts a handler in front of the
// run-ending signals that gives them back; false, with nothing recorded, while another line is.
// Call under a signal_block, before the line is changed, so that a signal at any instant finds
// what to give back (clearing a flag never set is harmless).
bool record_line(int fd);

// Gives back the exclusive flag on `fd` (cleared, unless the record found it set) and, when `fd`
// is the recorded line, gives back its driver
// flags as found and forgets the record with its handler. Call under a signal_block.
void give_back_line(int fd);

// Asks the driver of the recorded line `fd` for low latency, recorded so that it is given back;
// a driver or pseudo-terminal that refuses, or a line that is not the recorded one, is left as
// it is.
void request_low_latency(int fd);
