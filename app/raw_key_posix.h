#pragma once

// The key wait on one terminal, for the tests to drive through a pseudo-terminal. Takes one key
// (an escape sequence or one UTF-8 character counts as one, as key_decoder tells them apart) and
// restores the terminal's settings before returning. Returns at once when `fd` is not a terminal.
void wait_raw_key_on_terminal(int fd);
