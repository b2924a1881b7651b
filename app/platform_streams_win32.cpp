#include "app/platform_streams.h"

#include <cstdio>
#include <fcntl.h>
#include <io.h>
#include <string>
#include <vector>

#include "app/answers_file.h"
#include "common/utf8.h"
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

namespace {

constexpr char REASON_NOT_CHARACTERS[] = "name holds bytes that are not characters";

// Ctrl-Z, which ends the input at a console and in a file read as text, as it did when the C
// runtime read them.
constexpr char END_OF_INPUT_MARK = '\x1A';

// As many UTF-16 units as the console hands over in one read; a longer line comes in several.
constexpr DWORD CONSOLE_READ_UNITS = 512;

// `bytes` in `code_page`, strictly: a byte that is no character there makes it no reading at all.
// Code pages that cannot be read strictly (ERROR_INVALID_FLAGS) are no reading either.
bool read_in_code_page(UINT code_page, const std::string& bytes, std::string& utf8)
{
    const int size = static_cast<int>(bytes.size());
    const int units = MultiByteToWideChar(code_page, MB_ERR_INVALID_CHARS, bytes.data(), size, nullptr, 0);
    if (units <= 0) {
        return false;
    }
    std::wstring wide(static_cast<std::size_t>(units), L'\0');
    if (MultiByteToWideChar(code_page, MB_ERR_INVALID_CHARS, bytes.data(), size, wide.data(), units) != units) {
        return false;
    }
    utf8_from_utf16 halves;
    utf8.clear();
    for (const wchar_t unit : wide) {
        halves.add(static_cast<char16_t>(unit), utf8);
    }
    halves.end(utf8);
    return true;
}

// The code pages an answers file without a byte-order mark may be in, in this order: the console's
// input code page, which cmd's `echo` writes, or the OEM one when the program has no console (cmd
// wrote the file at one); then the system's ANSI one, which Notepad and PowerShell 5 write.
std::vector<code_page_reading> answers_code_pages()
{
    std::vector<code_page_reading> pages;
    const UINT console_page = GetConsoleCP();
    const UINT cmd_page = console_page != 0 ? console_page : GetOEMCP();
    pages.emplace_back(
        [cmd_page](const std::string& bytes, std::string& utf8) { return read_in_code_page(cmd_page, bytes, utf8); });
    pages.emplace_back(
        [](const std::string& bytes, std::string& utf8) { return read_in_code_page(CP_ACP, bytes, utf8); });
    return pages;
}

// Standard input, line by line in UTF-8, served a byte at a time.
class standard_input {
public:
    standard_input()
        : console_(is_console(GetStdHandle(STD_INPUT_HANDLE)) ? GetStdHandle(STD_INPUT_HANDLE) : nullptr),
          file_([] { return std::getc(stdin); }, answers_code_pages())
    {
        if (console_ == nullptr) {
            // Bytes as they are: a text stream would end a UTF-16 file at its first 0x1A byte (the
            // low half of U+041A, a Cyrillic letter) and change the pairs of bytes around a line
            // end. Fails only for a stream that is no file, which then reads as before.
            (void)::_setmode(::_fileno(stdin), _O_BINARY);
        }
    }

    int read()
    {
        if (put_back_ != EOF) {
            const int c = put_back_;
            put_back_ = EOF;
            return c;
        }
        while (!ended_ && at_ == line_.size()) {
            line_.clear();
            at_ = 0;
            ended_ = console_ != nullptr ? !read_console() : !file_.next_line(line_);
        }
        if (ended_ || line_[at_] == END_OF_INPUT_MARK) {
            ended_ = true;
            return EOF;
        }
        return static_cast<unsigned char>(line_[at_++]);
    }

    void unread(int c) { put_back_ = c; }

    // Keys typed at a console come as characters, read one way only.
    std::vector<std::string> readings() const
    {
        return console_ != nullptr ? std::vector<std::string>() : file_.readings();
    }

private:
    // Keys as the console hands them over, UTF-16, never through a code page that would turn a
    // character it lacks into a look-alike. False at the end of input.
    bool read_console()
    {
        wchar_t keys[CONSOLE_READ_UNITS];
        DWORD count = 0;
        if (ReadConsoleW(console_, keys, CONSOLE_READ_UNITS, &count, nullptr) == FALSE || count == 0) {
            halves_.end(line_);
            return !line_.empty();
        }
        for (DWORD i = 0; i < count; ++i) {
            halves_.add(static_cast<char16_t>(keys[i]), line_);
        }
        return true;
    }

    HANDLE console_;
    answers_file file_;
    utf8_from_utf16 halves_;
    std::string line_;
    std::size_t at_ = 0;
    bool ended_ = false;
    int put_back_ = EOF;
};

standard_input& input()
{
    static standard_input instance;
    return instance;
}

} // namespace

int read_standard_input() { return input().read(); }

void unread_standard_input(int c) { input().unread(c); }

refusal why_not_a_name(const char* typed) { return is_valid_utf8(typed) ? refusal() : refusal(REASON_NOT_CHARACTERS); }

std::vector<std::string> other_readings_of(const char* typed)
{
    return other_readings_of_word(input().readings(), typed);
}
