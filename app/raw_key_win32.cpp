#include "common/windows_api.h"

#include "app/key_event_filter.h"
#include "app/raw_key.h"

namespace {

// Line editing and echo would hold the key back until Enter; processed input would turn Ctrl-C
// into a signal that ends the program instead of a key.
constexpr DWORD COOKED_INPUT_MODES = ENABLE_PROCESSED_INPUT | ENABLE_LINE_INPUT | ENABLE_ECHO_INPUT;

// The status of every failed run: a script must never take an interrupted update for a done one.
constexpr UINT EXIT_INTERRUPTED = 1;

// The key the console reports for Ctrl-C with processed input off.
constexpr WORD VIRTUAL_KEY_C = 0x43;
constexpr wchar_t CTRL_C_CHARACTER = 0x03;

// One console for the whole run: the second half of a character beyond U+FFFF may be read by
// the wait after the one its first half ended.
key_press_filter key_presses;

// The console input while a key wait has it raw, with the mode it was found in, for the control
// handler, which runs on a thread of its own. A critical section, not a slim lock: those came with
// Windows Vista, and the program runs on Windows XP.
struct raw_lock_section {
    CRITICAL_SECTION section{};
    raw_lock_section() noexcept { InitializeCriticalSection(&section); }
    ~raw_lock_section() = default; // kept to the end of the process: the handler may hold it then
    raw_lock_section(const raw_lock_section&) = delete;
    raw_lock_section& operator=(const raw_lock_section&) = delete;
};
raw_lock_section raw_lock;
HANDLE raw_input = INVALID_HANDLE_VALUE;
DWORD found_mode = 0;

// Takes events until one counts as a key press. Every event taken is gone, so the release that
// follows a press is skipped by the next wait rather than left to end it.
void wait_raw_key_on_console(HANDLE input)
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
        if (key_presses.counts(event)) {
            return;
        }
    }
}

// Wine passes Ctrl-C typed at its terminal on as an interrupt even with processed input off. At a
// key wait it is a key like any other: it goes into the console as the key Windows reports.
bool press_ctrl_c_as_key(HANDLE input)
{
    INPUT_RECORD record{};
    record.EventType = KEY_EVENT;
    record.Event.KeyEvent.bKeyDown = TRUE;
    record.Event.KeyEvent.wRepeatCount = 1;
    record.Event.KeyEvent.wVirtualKeyCode = VIRTUAL_KEY_C;
    record.Event.KeyEvent.uChar.UnicodeChar = CTRL_C_CHARACTER;
    record.Event.KeyEvent.dwControlKeyState = LEFT_CTRL_PRESSED;
    DWORD written = 0;
    return WriteConsoleInputW(input, &record, 1, &written) != FALSE && written == 1;
}

// Without it, Windows ends the run with STATUS_CONTROL_C_EXIT and wine with 0, which a script
// takes for a confirmed update. The run ends here, on this thread, while the main thread may be
// in the middle of a page: nothing the device received is confirmed.
BOOL WINAPI on_console_control(DWORD event)
{
    if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT && event != CTRL_CLOSE_EVENT) {
        return FALSE;
    }
    EnterCriticalSection(&raw_lock.section);
    if (raw_input != INVALID_HANDLE_VALUE) {
        if (event == CTRL_C_EVENT && press_ctrl_c_as_key(raw_input)) {
            LeaveCriticalSection(&raw_lock.section);
            return TRUE;
        }
        // The shell that gets the console back must find line editing and echo as it left them.
        (void)SetConsoleMode(raw_input, found_mode); // nothing more can be done as the run ends
    }
    ExitProcess(EXIT_INTERRUPTED); // the lock stays taken: no wait may make the console raw again
}

void set_raw(HANDLE input, DWORD previous)
{
    EnterCriticalSection(&raw_lock.section);
    raw_input = input;
    found_mode = previous;
    LeaveCriticalSection(&raw_lock.section);
}

} // namespace

void end_run_on_interrupt()
{
    // Fails only without a console, where no interrupt can come from one.
    (void)SetConsoleCtrlHandler(on_console_control, TRUE);
}

void wait_raw_key()
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
        // Recorded before the change: an interrupt at any instant finds the mode to give back.
        set_raw(input, previous);
        // No FlushConsoleInputBuffer: a key typed while the program was busy must count.
        // Without raw mode the wait would end only at Enter, so it is not started at all.
        if (SetConsoleMode(input, previous & ~COOKED_INPUT_MODES) != FALSE) {
            wait_raw_key_on_console(input);
        }
        // Nothing more can be done if restoring fails; the console goes back to its owner as it is.
        EnterCriticalSection(&raw_lock.section);
        (void)SetConsoleMode(input, previous);
        raw_input = INVALID_HANDLE_VALUE;
        LeaveCriticalSection(&raw_lock.section);
    }
    (void)CloseHandle(input); // read-only use; nothing is lost if the close fails
}
