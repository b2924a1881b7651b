#include "app/key_event_filter.h"

namespace {

// Keys that end a wait even when the console reports no character for them. The cursor and
// editing block (also the keypad with Num Lock off) and F1 to F12 are what the C runtime's console
// read returns as a two-code sequence. Escape always has its character on Windows, but wine's
// terminal-backed console reports a lone Escape without it. Everything else without a character
// (Shift, Ctrl, Alt, the locks, Windows keys, dead keys, media keys) gives the runtime nothing to
// return, so it does not end a wait here either.
bool counts_without_character(std::uint16_t virtual_key)
{
    return (virtual_key >= VKEY_PRIOR && virtual_key <= VKEY_DOWN) || virtual_key == VKEY_INSERT ||
        virtual_key == VKEY_DELETE || (virtual_key >= VKEY_F1 && virtual_key <= VKEY_F12) || virtual_key == VKEY_ESCAPE;
}

} // namespace

bool counts_as_key_press(const key_event& event)
{
    if (!event.key_down) {
        return false;
    }
    return event.character != 0 || counts_without_character(event.virtual_key);
}

namespace {

bool is_high_surrogate(std::uint16_t unit) { return unit >= 0xD800 && unit <= 0xDBFF; }
bool is_low_surrogate(std::uint16_t unit) { return unit >= 0xDC00 && unit <= 0xDFFF; }

} // namespace

bool key_press_filter::counts(const key_event& event)
{
    // Releases come between the two halves and change nothing.
    if (!event.key_down) {
        return false;
    }
    const bool second_half = low_surrogate_due_ && is_low_surrogate(event.character);
    low_surrogate_due_ = is_high_surrogate(event.character);
    return !second_half && counts_as_key_press(event);
}
