#include "app/key_decoder.h"

#include "common/utf8.h"

namespace {

constexpr unsigned char ESC = 0x1B;

} // namespace

key_byte key_decoder::take(unsigned char byte)
{
    switch (state_) {
    case state::first:
        if (byte == ESC) {
            state_ = state::after_escape;
            return key_byte::more;
        }
        return start_utf8_tail(byte);
    case state::after_escape:
        if (byte == '[') {
            state_ = state::control_sequence;
            return key_byte::more;
        }
        if (byte == 'O') {
            state_ = state::single_shift;
            return key_byte::more;
        }
        return start_utf8_tail(byte); // Alt with a key, a non-ASCII character among them
    case state::control_sequence:
        // CSI: parameter and intermediate bytes, then one final byte from 0x40 to 0x7E.
        return byte >= 0x40 && byte <= 0x7E ? key_byte::last : key_byte::more;
    case state::single_shift:
        return key_byte::last; // SS3: one more byte names the key
    case state::utf8_tail:
        if (!is_utf8_continuation(byte)) {
            return key_byte::next_key; // a broken character, and a key typed after it
        }
        return --tail_left_ > 0 ? key_byte::more : key_byte::last;
    }
    return key_byte::last;
}

// A key that types a non-ASCII character (é, €) sends its UTF-8 bytes together; the rest of
// them must not satisfy the next wait. A byte that starts no character is a key of its own.
key_byte key_decoder::start_utf8_tail(unsigned char lead)
{
    const std::size_t length = utf8_sequence_length(lead);
    if (length < 2) {
        return key_byte::last;
    }
    state_ = state::utf8_tail;
    tail_left_ = static_cast<int>(length) - 1;
    return key_byte::more;
}
