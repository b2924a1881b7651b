#pragma once

// Tells which bytes from a terminal make up one key press, so that one press satisfies one key
// wait and leaves nothing for the next: an escape sequence (arrows, function keys, Alt with a
// key) or one UTF-8 character counts as one key. Knows nothing of terminals or time: the caller
// feeds the bytes as they come, and a pause in the middle of a key ends it.
enum class key_byte {
    more, // the key goes on: the next byte belongs to it if it comes soon
    last, // this byte ends the key
    next_key, // not part of the key, which ended before it: the first byte of the next one
};

class key_decoder {
public:
    key_byte take(unsigned char byte);

private:
    enum class state { first, after_escape, control_sequence, single_shift, utf8_tail };
    state state_ = state::first;
    int tail_left_ = 0;

    key_byte start_utf8_tail(unsigned char lead);
};
