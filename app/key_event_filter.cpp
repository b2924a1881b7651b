#include "app/key_event_filter.h"

namespace {

// The keys the C runtime's console read reports as a two-code sequence even though they yield no
// character: the cursor and editing block (also the keypad with Num Lock off) and F1 to F12.
// Everything else without a character (Shift, Ctrl, Alt, the locks, Windows keys, dead keys,
// media keys) gives the runtime nothing to return, so it does not end a wait here either.
bool has_extended_code(std::uint16_t virtual_key)
{
    return (virtual_key >= VKEY_PRIOR && virtual_key <= VKEY_DOWN) || virtual_key == VKEY_INSERT ||
           virtual_key == VKEY_DELETE || (virtual_key >= VKEY_F1 && virtual_key <= VKEY_F12);
}

} // namespace

bool counts_as_key_press(const key_event& event)
{
    if (!event.key_down) {
        return false;
    }
    return event.character != 0 || has_extended_code(event.virtual_key);
}
