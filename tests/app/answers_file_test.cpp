#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "app/answers_file.h"
#include "support/text.h"

namespace {

// Two code pages of a German station, small enough to write out: the console's (850) knows ü as
// 0x81 and ä as 0x84; the ANSI one (1252) reads 0x80 to 0xFF as Latin-1 but for five undefined
// bytes. Each fails on a byte that is no character in it, as the strict system conversion does.
bool read_as_console_page(const std::string& bytes, std::string& utf8)
{
    utf8.clear();
    for (const char byte : bytes) {
        if (byte == '\x81') {
            utf8 += "\u00fc";
        } else if (byte == '\x84') {
            utf8 += "\u00e4";
        } else if (static_cast<unsigned char>(byte) < 0x80) {
            utf8 += byte;
        } else {
            return false;
        }
    }
    return true;
}

bool read_as_ansi_page(const std::string& bytes, std::string& utf8)
{
    utf8.clear();
    for (const char byte : bytes) {
        const auto c = static_cast<unsigned char>(byte);
        if (c == 0x81 || c == 0x8D || c == 0x8F || c == 0x90 || c == 0x9D) {
            return false;
        }
        if (c < 0x80) {
            utf8 += byte;
        } else {
            utf8 += static_cast<char>(0xC0 | (c >> 6));
            utf8 += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return true;
}

// Each line of `input` and, when it can be read more than one way, its other readings after a
// "|" each. `until` ends the input early, as a pipe whose writer waits: a line must be given
// without a byte after it.
std::vector<std::string> lines_of(const std::string& input, bool console, std::size_t until = std::string::npos)
{
    std::size_t at = 0;
    std::vector<code_page_reading> pages;
    if (console) {
        pages.emplace_back(read_as_console_page);
    }
    pages.emplace_back(read_as_ansi_page);
    const std::size_t end = std::min(until, input.size());
    answers_file file([&] { return at < end ? static_cast<unsigned char>(input[at++]) : EOF; }, pages);
    std::vector<std::string> lines;
    std::string line;
    while (file.next_line(line)) {
        EXPECT_EQ(file.readings().front(), line);
        for (std::size_t i = 1; i < file.readings().size(); ++i) {
            line += "|" + file.readings()[i];
        }
        lines.push_back(line);
    }
    return lines;
}

// How an answers file becomes the answers, by how it was written: never a look-alike of a
// character, and bytes that no encoding in the order reads left as they are, to be refused.
TEST(AnswersFile, EachLineInTheFirstEncodingThatReadsIt)
{
    const std::string bad = std::string(1, NO_UTF8_BYTE);
    struct row {
        const char* what;
        std::string input;
        bool console;
        std::vector<std::string> lines;
    };
    const row rows[] = {
        {"ASCII", "41\nfw.bin\n", true, {"41\n", "fw.bin\n"}},
        {"UTF-8 without a mark (Notepad)",
            "41\r\npr\xc3\xbc"
            "f.bin\r\n",
            true, {"41\r", "pr\u00fcf.bin\r|pr\u00c3\u00bcf.bin\r"}},
        {"UTF-8 with a mark",
            "\xEF\xBB\xBF"
            "41\npr\xc3\xbc"
            "f.bin",
            true, {"41\n", "pr\u00fcf.bin"}},
        {"UTF-8 mark, then bytes that are no UTF-8: kept, never read in a code page",
            "\xEF\xBB\xBF"
            "pr\x81"
            "f.bin\n",
            true,
            {"pr\x81"
             "f.bin\n"}},
        // cmd's echo writes the console's code page, Notepad the ANSI one: both are readings.
        {"cmd's echo at a console: its code page, then the ANSI one",
            "41\npr\x84"
            "f.bin\n",
            true, {"41\n", "pr\u00e4f.bin\n|pr\u0084f.bin\n"}},
        {"a byte the ANSI page lacks: the console's alone",
            "41\npr\x81"
            "f.bin\n",
            true, {"41\n", "pr\u00fcf.bin\n"}},
        {"no console: the ANSI code page",
            "41\npr\xfc"
            "f.bin\n",
            false, {"41\n", "pr\u00fcf.bin\n"}},
        {"the console's page lacks it: the ANSI one",
            "pr\xfc"
            "f.bin\n",
            true, {"pr\u00fcf.bin\n"}},
        {"valid UTF-8 first, the code pages' readings after", "\xc3\xa4\n", true, {"\u00e4\n|\u00c3\u00a4\n"}},
        {"no page reads it: left as it is", "x\x81\xff.bin\n", true, {"x\x81\xff.bin\n"}},
        {"each line on its own", "\xc3\xa4\n\x84\n", true, {"\u00e4\n|\u00c3\u00a4\n", "\u00e4\n|\u0084\n"}},
        // Files joined by `copy /b`, the second saved with a mark: it says UTF-8 for its line.
        {"a mark before the second answer",
            "41\r\n\xEF\xBB\xBF"
            "fw.bin\r\n",
            true, {"41\r", "fw.bin\r"}},
        {"a mark after a marked first line",
            "\xEF\xBB\xBF"
            "41\n\xEF\xBB\xBF\xc3\xa4\n",
            true, {"41\n", "\u00e4\n"}},
        {"UTF-16LE, a mark before the second answer", utf16le("41\r\n\ufefffw.bin\r\n"), false, {"41\r", "fw.bin\r"}},
        // `cmd /u`: UTF-16LE without a mark, every second byte zero.
        {"UTF-16LE without a mark", utf16le("12\r\n\u0141.bin\r\n", ""), true, {"12\r", "\u0141.bin\r"}},
        {"UTF-16LE without a mark, one digit", utf16le("5", ""), false, {"5"}},
        {"a zero byte first is no UTF-16LE",
            std::string("\0"
                        "1\n",
                3),
            false,
            {std::string("\0"
                         "1\n",
                3)}},
        // A carriage return alone ends a line; a line feed right after it belongs to the same end.
        {"carriage returns alone", "5\rfw.bin\r", true, {"5\r", "fw.bin\r"}},
        {"an empty line after CR LF stays", "5\r\n\nx\n", true, {"5\r", "\n", "x\n"}},
        {"UTF-16LE, carriage returns alone", utf16le("5\rfw.bin\r\n"), true, {"5\r", "fw.bin\r"}},
        {"UTF-16LE (PowerShell 5)", utf16le("41\r\n\u00c5\u0141\u00f3d\u017a.bin\r\n"), false,
            {"41\r", "\u00c5\u0141\u00f3d\u017a.bin\r"}},
        {"UTF-16LE, a pair of halves", utf16le("\U0001F600.bin"), false, {"\U0001F600.bin"}},
        {"UTF-16LE, a lone half", utf16le("x") + std::string("\x00\xD8y\x00", 4), false, {"x" + bad + "y"}},
        {"UTF-16LE, a first half at the end", utf16le("x") + "\x3D\xD8", false, {"x" + bad}},
        {"UTF-16LE, a byte left over", utf16le("x") + "y", false, {"x" + bad}},
        {"UTF-16LE, Cyrillic K whose low byte is Ctrl-Z", utf16le("\u041a.bin"), false, {"\u041a.bin"}},
        {"a first byte of a mark only",
            "\xEF"
            "a\n",
            false, {"\u00efa\n"}},
        {"half a UTF-16 mark only", "\xFF", false, {"\u00ff"}},
        {"nothing", "", true, {}},
    };
    for (const row& r : rows) {
        EXPECT_EQ(lines_of(r.input, r.console), r.lines) << r.what;
    }
}

// An answer ended by a carriage return alone is given before any byte after it has come.
TEST(AnswersFile, LineGivenWithoutWaitingForTheNextByte)
{
    EXPECT_EQ(lines_of("5\rfw.bin\r", true, 2), std::vector<std::string>{"5\r"});
    EXPECT_EQ(lines_of(utf16le("5\rfw.bin\r"), true, 6), std::vector<std::string>{"5\r"});
}

// The name the operator meant, of the readings of its line: the only one that names a file.
TEST(AnswersFile, ReadingOfTheNameThatNamesAFile)
{
    const std::vector<std::string> line = {"41 \"caf\u00e9.bin\"\n", "41 \"caf\u00da.bin\"\n"};
    struct row {
        const char* what;
        std::vector<std::string> readings;
        std::string name;
        std::vector<std::string> others;
        std::vector<std::string> files;
        std::string chosen; // "": refused, as two readings name files
    };
    const row rows[] = {
        {"one reading", {"fw.bin\n"}, "fw.bin", {}, {"fw.bin"}, "fw.bin"},
        {"after the port, in quotes", line, "caf\u00e9.bin", {"caf\u00da.bin"}, {"caf\u00da.bin"}, "caf\u00da.bin"},
        {"only the first names a file", line, "caf\u00e9.bin", {"caf\u00da.bin"}, {"caf\u00e9.bin"}, "caf\u00e9.bin"},
        {"none does: the first", line, "caf\u00e9.bin", {"caf\u00da.bin"}, {}, "caf\u00e9.bin"},
        {"both do", line, "caf\u00e9.bin", {"caf\u00da.bin"}, {"caf\u00e9.bin", "caf\u00da.bin"}, ""},
        {"a word not on the line", line, "x.bin", {}, {}, "x.bin"},
        {"three readings, the last names a file", {"\u00e4\n", "\u00c3\u00a4\n", "\u0413\u0434\n"}, "\u00e4",
            {"\u00c3\u00a4", "\u0413\u0434"}, {"\u0413\u0434"}, "\u0413\u0434"},
    };
    for (const row& r : rows) {
        const std::vector<std::string> others = other_readings_of_word(r.readings, r.name);
        EXPECT_EQ(others, r.others) << r.what;
        std::vector<std::string> all = {r.name};
        all.insert(all.end(), others.begin(), others.end());
        const auto names_a_file = [&r](const std::string& name) {
            return std::find(r.files.begin(), r.files.end(), name) != r.files.end();
        };
        const reading_choice choice = choose_reading(all, names_a_file);
        EXPECT_EQ(choice.name, r.chosen) << r.what;
        if (r.chosen.empty()) {
            EXPECT_EQ(choice.existing, r.files) << r.what << ": the files named in the refusal";
        }
    }
}

} // namespace
