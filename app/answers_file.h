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

// Every reading of a line of a file without a byte-order mark, in UTF-8, each once: the line as it
// stands when it is valid UTF-8, then what each of `code_pages` that reads it whole makes of it.
// The same bytes cannot say which of these wrote them (cmd's `echo` writes the console's code
// page, Notepad the ANSI one), so each is a name the operator may have meant. When none reads
// it, the bytes as they are; not being UTF-8, the name among them is refused.
std::vector<std::string> unmarked_line_readings(
    const std::string& line, const std::vector<code_page_reading>& code_pages);

// An answers file, line by line in UTF-8. A byte-order mark at its start says UTF-8 or UTF-16LE
// (as PowerShell 5 writes); so do zero bytes in every second place (`cmd /u`), which no text in a
// code page holds. Without either, each line is read as `unmarked_line_readings` says. A mark at
// the start of a later line (files joined by `copy /b`) is no part of the answer. Lines are read
// one at a time and end at a line feed or a carriage return, so that a program that writes the
// second answer only after the first question is answered, not before.
class answers_file {
public:
    // `next_byte`: the next byte of the input, or EOF at its end.
    answers_file(std::function<int()> next_byte, std::vector<code_page_reading> code_pages);

    // The next line, its line end included when it has one; false at the end of input.
    bool next_line(std::string& line);

    // Every reading of the last line returned, that line first; kept at the end of input.
    const std::vector<std::string>& readings() const { return readings_; }

private:
    enum class marking { not_yet_read, none, utf8, utf16le };

    int next_byte();
    void read_marking();
    bool next_utf16_line(std::string& line);
    bool next_byte_line(std::string& line);

    std::function<int()> next_byte_;
    std::vector<code_page_reading> code_pages_;
    marking marking_ = marking::not_yet_read;
    std::string looked_ahead_; // bytes read ahead (a mark that was none, what followed a CR)
    bool after_carriage_return_ = false; // a line feed that comes next belongs to the last line
    utf8_from_utf16 utf16_;
    std::vector<std::string> readings_;
};

// The word of `readings.front()` that, without one pair of double quotes around it whole, is
// `name`, as each other reading of the same line has it, unquoted alike: blanks and line ends are
// the same bytes in UTF-8 and in every code page, so the words stand in the same order in all.
std::vector<std::string> other_readings_of_word(const std::vector<std::string>& readings, const std::string& name);

// Of the readings of one name, the first read first: the one to open. The only one that names an
// existing file when they differ on that; the first when none does (its reason is the one shown).
// Empty when two or more do: `existing` then holds them, and nothing may be opened.
struct reading_choice {
    std::string name;
    std::vector<std::string> existing;
};
reading_choice choose_reading(
    const std::vector<std::string>& readings, const std::function<bool(const std::string&)>& names_a_file);

// One pair of double quotes around `word` whole taken off, as around a path copied from Explorer.
std::string without_quotes(const std::string& word);
