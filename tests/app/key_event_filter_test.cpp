#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "app/key_event_filter.h"

namespace {

struct row {
    const char* key;
    key_event event;
    bool counts;
};

// Key codes the filter has no constant for: ordinary keys come with their character anyway.
constexpr std::uint16_t VKEY_RETURN = 0x0D;
constexpr std::uint16_t VKEY_SPACE = 0x20;
constexpr std::uint16_t VKEY_A = 0x41;
constexpr std::uint16_t VKEY_C = 0x43;
constexpr std::uint16_t VKEY_NUMPAD5 = 0x65;
constexpr std::uint16_t VKEY_CLEAR = 0x0C;
constexpr std::uint16_t VKEY_OEM_1 = 0xBA; // a dead key on many layouts
constexpr std::uint16_t VKEY_VOLUME_UP = 0xAF;
constexpr std::uint16_t VKEY_F5 = 0x74;

constexpr std::uint16_t CTRL_C = 0x03;
constexpr std::uint16_t ESC = 0x1B;

TEST(KeyEventFilter, PressesThatEndAWait)
{
    const row rows[] = {
        {"letter", {true, VKEY_A, 'a'}, true},
        {"shifted letter", {true, VKEY_A, 'A'}, true},
        {"Enter", {true, VKEY_RETURN, '\r'}, true},
        {"Space", {true, VKEY_SPACE, ' '}, true},
        {"Ctrl-C with processed input off", {true, VKEY_C, CTRL_C}, true},
        {"Escape", {true, VKEY_ESCAPE, ESC}, true},
        {"Escape as wine reports it", {true, VKEY_ESCAPE, 0}, true},
        {"keypad 5 with Num Lock on", {true, VKEY_NUMPAD5, '5'}, true},
        {"character outside ASCII", {true, VKEY_OEM_1, 0x00E9}, true},
        {"character from no known key", {true, 0, 'x'}, true},
        {"Page Up", {true, VKEY_PRIOR, 0}, true},
        {"Page Down", {true, VKEY_NEXT, 0}, true},
        {"End", {true, VKEY_END, 0}, true},
        {"Home", {true, VKEY_HOME, 0}, true},
        {"Left", {true, VKEY_LEFT, 0}, true},
        {"Up", {true, VKEY_UP, 0}, true},
        {"Right", {true, VKEY_RIGHT, 0}, true},
        {"Down", {true, VKEY_DOWN, 0}, true},
        {"Insert", {true, VKEY_INSERT, 0}, true},
        {"Delete", {true, VKEY_DELETE, 0}, true},
        {"F1", {true, VKEY_F1, 0}, true},
        {"F5", {true, VKEY_F5, 0}, true},
        {"F12", {true, VKEY_F12, 0}, true},
    };
    for (const row& r : rows) {
        EXPECT_EQ(counts_as_key_press(r.event), r.counts) << r.key;
    }
}

TEST(KeyEventFilter, KeysWithoutCharacterOrExtendedCodeAreIgnored)
{
    const row rows[] = {
        {"Shift", {true, VKEY_SHIFT, 0}, false},
        {"Ctrl", {true, VKEY_CONTROL, 0}, false},
        {"Alt", {true, VKEY_MENU, 0}, false},
        {"left Shift", {true, VKEY_LSHIFT, 0}, false},
        {"right Alt", {true, VKEY_RMENU, 0}, false},
        {"Caps Lock", {true, VKEY_CAPITAL, 0}, false},
        {"Num Lock", {true, VKEY_NUMLOCK, 0}, false},
        {"Scroll Lock", {true, VKEY_SCROLL, 0}, false},
        {"Pause", {true, VKEY_PAUSE, 0}, false},
        {"left Windows key", {true, VKEY_LWIN, 0}, false},
        {"right Windows key", {true, VKEY_RWIN, 0}, false},
        {"menu key", {true, VKEY_APPS, 0}, false},
        {"F13", {true, VKEY_F13, 0}, false},
        {"keypad 5 with Num Lock off", {true, VKEY_CLEAR, 0}, false},
        {"dead key", {true, VKEY_OEM_1, 0}, false},
        {"media key", {true, VKEY_VOLUME_UP, 0}, false},
        {"no key at all", {true, 0, 0}, false},
    };
    for (const row& r : rows) {
        EXPECT_EQ(counts_as_key_press(r.event), r.counts) << r.key;
    }
}

TEST(KeyEventFilter, ReleasesNeverCount)
{
    // The release follows every press and would otherwise end the next wait.
    const row rows[] = {
        {"letter", {false, VKEY_A, 'a'}, false},
        {"Ctrl-C", {false, VKEY_C, CTRL_C}, false},
        {"Escape", {false, VKEY_ESCAPE, ESC}, false},
        {"Up", {false, VKEY_UP, 0}, false},
        {"F12", {false, VKEY_F12, 0}, false},
        {"Shift", {false, VKEY_SHIFT, 0}, false},
        // A character typed as Alt and keypad digits arrives with the release of Alt.
        {"Alt release with composed character", {false, VKEY_MENU, 'A'}, false},
    };
    for (const row& r : rows) {
        EXPECT_EQ(counts_as_key_press(r.event), r.counts) << r.key;
    }
}

TEST(KeyEventFilter, DefaultEventIsNoPress) { EXPECT_FALSE(counts_as_key_press(key_event{})); }

// The events of one console in the order they come, with the waits each press ends.
TEST(KeyEventFilter, CharacterBeyondTheBasicPlaneIsOneKey)
{
    constexpr std::uint16_t VKEY_PACKET = 0xE7; // how an input method or a paste reports a character
    constexpr std::uint16_t GRINNING_HIGH = 0xD83D; // U+1F600 in UTF-16
    constexpr std::uint16_t GRINNING_LOW = 0xDE00;
    const key_event high_down{true, VKEY_PACKET, GRINNING_HIGH};
    const key_event high_up{false, VKEY_PACKET, GRINNING_HIGH};
    const key_event low_down{true, VKEY_PACKET, GRINNING_LOW};
    const key_event low_up{false, VKEY_PACKET, GRINNING_LOW};
    const key_event letter{true, VKEY_A, 'a'};
    struct sequence {
        const char* what;
        std::vector<key_event> events;
        std::vector<bool> counts;
    };
    const sequence sequences[] = {
        {"both halves pressed, then released", {high_down, low_down, high_up, low_up, letter},
            {true, false, false, false, true}},
        {"each half pressed and released", {high_down, high_up, low_down, low_up, letter},
            {true, false, false, false, true}},
        {"two such characters", {high_down, low_down, high_down, low_down}, {true, false, true, false}},
        // Halves that do not pair are keys of their own: something was typed.
        {"low half alone", {low_down, low_down}, {true, true}},
        {"high half, then a letter, then a stray low half", {high_down, letter, low_down}, {true, true, true}},
    };
    for (const sequence& s : sequences) {
        key_press_filter filter;
        std::vector<bool> counted;
        for (const key_event& event : s.events) {
            counted.push_back(filter.counts(event));
        }
        EXPECT_EQ(counted, s.counts) << s.what;
    }
}

} // namespace
