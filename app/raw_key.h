#pragma once

// Waits for one key press straight from the console or terminal, bypassing standard input:
// raw for the wait (no echo, no line editing, the interrupt key counts as a key), previous
// settings restored afterwards, typed-ahead keys kept. Returns at once without a console.
void wait_raw_key();

// Makes Ctrl-C, Ctrl-Break and closing the console end the run with the status of a failure,
// with the console's input settings given back; at a key wait Ctrl-C stays a key. Called once,
// at the start.
void end_run_on_interrupt();
