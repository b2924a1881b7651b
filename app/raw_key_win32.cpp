#include "common/windows_api.h"

#include "app/key_event_filter.h"
#include "app/raw_key.h"

namespace {

// Line editing and echo would hold the key back until Enter; processed input would turn Ctrl-C
// into a signal that ends the program instead of a key.
constexpr DWORD COOKED_INPUT_MODES = ENABLE_PROCESSED_INPUT | ENABLE_LINE_INPUT | ENABLE_ECHO_INPUT;

// Takes events until one counts as a key press. Every event taken is gone, so the release that
// follows a press is skipped by the next wait rather than left to end it.
void wait_for_key_press(HANDLE input)
{
    for (;;) {
        INPUT_RECORD record{};
        DWORD count = 0;
        if (ReadConsoleInputW(input, &record, 1, &count) == FALSE) {
            return; // the console went away: nobody is left to press a key
        }
        if (count != 1 || record.EventType != KEY_EVENT) {
            continue;
        }
        const KEY_EVENT_RECORD& key = record.Event.KeyEvent;
        const key_event event{
            key.bKeyDown != FALSE, key.wVirtualKeyCode, static_cast<std::uint16_t>(key.uChar.UnicodeChar)};
        if (counts_as_key_press(event)) {
            return;
        }
    }
}

} // namespace

void read_raw_key()
{
    // The console itself, not standard input: a line already typed into standard input must not
    // count, and the wait must also work when standard input is redirected.
    const HANDLE input = CreateFileA(
        "CONIN$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
    if (input == INVALID_HANDLE_VALUE) {
        return; // no console: the wait ends at once
    }
    // A handle that takes no console mode is no console input: nobody can press a key there either.
    DWORD previous = 0;
    if (GetConsoleMode(input, &previous) != FALSE) {
        // No FlushConsoleInputBuffer: a key typed while the program was busy must count.
        // Without raw mode the wait would end only at Enter, so it is not started at all.
        if (SetConsoleMode(input, previous & ~COOKED_INPUT_MODES) != FALSE) {
            wait_for_key_press(input);
        }
        // Nothing more can be done if restoring fails; the console goes back to its owner as it is.
        (void)SetConsoleMode(input, previous);
    }
    (void)CloseHandle(input); // read-only use; nothing is lost if the close fails
}
