#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

// How the bytes of an answers file (standard input redirected from a file or a pipe) become the
// characters of the two answers, on Windows, where the file may have been written in UTF-8,
// UTF-16 or a code page. Portable, so that every build tests the rules; only the Windows build
// reads its input through them.

// A byte that never stands in UTF-8: what a lone half of a surrogate pair becomes, so that a name
// holding one is refused rather than opened as another name.
constexpr char NO_UTF8_BYTE = '\xFF';

// Appends the UTF-8 of UTF-16 code units given one at a time, a pair's two halves making one
// character even when they come in two reads.
class utf8_from_utf16 {
public:
    void add(char16_t unit, std::string& out);
    // Input ended: a first half still waiting for its second is no character.
    void end(std::string& out);

private:
    char16_t first_half_ = 0;
};

// Reads `bytes` in one code page: true with their UTF-8 in `utf8`, false when a byte is no
// character there (never replaced by a look-alike or a default character).
using code_page_reading = std::function<bool(const std::string& bytes, std::string& utf8)>;

// A line of a file without a byte-order mark, in UTF-8: as it stands when it is valid UTF-8, or as
// the first of `code_pages` that reads it whole reads it. When none does, the bytes stay as they
// are; not being UTF-8, the name among them is refused.
std::string unmarked_line_as_utf8(const std::string& line, const std::vector<code_page_reading>& code_pages);

// An answers file, line by line in UTF-8. A byte-order mark at its start says UTF-8 or UTF-16LE
// (as PowerShell 5 writes); without one, each line is read as `unmarked_line_as_utf8` says. Lines
// are read one at a time, so that a program that writes the second answer only after the first
// question is answered, not before.
class answers_file {
public:
    // `next_byte`: the next byte of the input, or EOF at its end.
    answers_file(std::function<int()> next_byte, std::vector<code_page_reading> code_pages);

    // The next line, its line feed included when it has one; false at the end of input.
    bool next_line(std::string& line);

private:
    enum class marking { not_yet_read, none, utf8, utf16le };

    void read_marking();
    bool next_utf16_line(std::string& line);
    bool next_byte_line(std::string& line);

    std::function<int()> next_byte_;
    std::vector<code_page_reading> code_pages_;
    marking marking_ = marking::not_yet_read;
    std::string looked_ahead_; // bytes read while looking for a mark that turned out to be none
    utf8_from_utf16 utf16_;
};
