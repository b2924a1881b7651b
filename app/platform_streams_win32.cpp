#include "app/platform_streams.h"

#include <cstdio>
#include <string>

#include "common/windows_api.h"
#include "common/windows_text.h"

namespace {

bool is_console(HANDLE handle)
{
    DWORD mode = 0;
    return handle != nullptr && handle != INVALID_HANDLE_VALUE && GetConsoleMode(handle, &mode) != FALSE;
}

} // namespace

// A port is a handle, never a descriptor number that a closed stream could lend it.
void keep_standard_streams_taken() { }

// A write to a closed pipe already fails with an error here and ends nothing.
void keep_running_on_closed_output() { }

void write_reason_line(const char* text, std::size_t length)
{
    const std::string line(text, length);
    const HANDLE error = GetStdHandle(STD_ERROR_HANDLE);
    if (is_console(error)) {
        // The console shows UTF-16 as it is; bytes it would read in its output code page, which
        // has no room for most of the letters a name or the system's message may hold.
        std::wstring wide = wide_from(line.c_str(), CP_UTF8);
        if (!wide.empty() && wide.back() == L'\n') {
            wide.insert(wide.size() - 1, 1, L'\r');
        }
        DWORD written = 0;
        // Nobody is left to tell if the console cannot be written to.
        (void)WriteConsoleW(error, wide.data(), static_cast<DWORD>(wide.size()), &written, nullptr);
        return;
    }
    // Redirected: UTF-8, with the text stream's line end, as the messages of standard output.
    // The C runtime buffers standard error when it is no console: flushed at once, the line
    // stands right after the message it explains. Nobody is left to tell if it cannot be written.
    (void)std::fwrite(text, 1, length, stderr);
    (void)std::fflush(stderr);
}

std::string typed_file_name(const char* typed)
{
    const UINT code_page = is_console(GetStdHandle(STD_INPUT_HANDLE)) ? GetConsoleCP() : CP_ACP;
    // A byte that is no character there (half of a two-byte one) shows as the replacement
    // character in the reason line, and opens nothing.
    return utf8_from(wide_from(typed, code_page, true));
}
