#pragma once

// Waits for one key press straight from the console or terminal, bypassing standard input:
// raw for the wait (no echo, no line editing, the interrupt key counts as a key), previous
// settings restored afterwards, typed-ahead keys kept. Returns at once without a console.
void read_raw_key();
