#pragma once

#include <cstdint>

// Virtual key codes as the Windows console reports them. Own names, so that this header can sit
// next to <windows.h>, whose VK_ macros would otherwise replace them.
constexpr std::uint16_t VKEY_SHIFT = 0x10;
constexpr std::uint16_t VKEY_CONTROL = 0x11;
constexpr std::uint16_t VKEY_MENU = 0x12; // Alt
constexpr std::uint16_t VKEY_PAUSE = 0x13;
constexpr std::uint16_t VKEY_CAPITAL = 0x14; // Caps Lock
constexpr std::uint16_t VKEY_ESCAPE = 0x1B;
constexpr std::uint16_t VKEY_PRIOR = 0x21; // Page Up
constexpr std::uint16_t VKEY_NEXT = 0x22; // Page Down
constexpr std::uint16_t VKEY_END = 0x23;
constexpr std::uint16_t VKEY_HOME = 0x24;
constexpr std::uint16_t VKEY_LEFT = 0x25;
constexpr std::uint16_t VKEY_UP = 0x26;
constexpr std::uint16_t VKEY_RIGHT = 0x27;
constexpr std::uint16_t VKEY_DOWN = 0x28;
constexpr std::uint16_t VKEY_INSERT = 0x2D;
constexpr std::uint16_t VKEY_DELETE = 0x2E;
constexpr std::uint16_t VKEY_LWIN = 0x5B;
constexpr std::uint16_t VKEY_RWIN = 0x5C;
constexpr std::uint16_t VKEY_APPS = 0x5D;
constexpr std::uint16_t VKEY_F1 = 0x70;
constexpr std::uint16_t VKEY_F12 = 0x7B;
constexpr std::uint16_t VKEY_F13 = 0x7C;
constexpr std::uint16_t VKEY_NUMLOCK = 0x90;
constexpr std::uint16_t VKEY_SCROLL = 0x91;
constexpr std::uint16_t VKEY_LSHIFT = 0xA0;
constexpr std::uint16_t VKEY_RMENU = 0xA5; // the last of the left/right Shift, Ctrl and Alt codes

// What the key wait needs to know of one console key event.
struct key_event {
    bool key_down = false;
    std::uint16_t virtual_key = 0;
    // The UTF-16 code unit the key produced, 0 for none.
    std::uint16_t character = 0;
};

// True when the event is the press of a key that yields a character or an extended (two-code)
// key code: what a key wait is waiting for. Releases and keys that only modify others are not.
bool counts_as_key_press(const key_event& event);

// Judges the key events of one console one after another. A character beyond U+FFFF (typed
// through an input method, pasted) comes as two presses, one per UTF-16 surrogate: the low one
// that follows a high one is the same key and ends no wait.
class key_press_filter {
public:
    bool counts(const key_event& event);

private:
    bool low_surrogate_due_ = false;
};
