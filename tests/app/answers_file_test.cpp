#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "app/answers_file.h"

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

std::vector<std::string> lines_of(const std::string& input, bool console)
{
    std::size_t at = 0;
    std::vector<code_page_reading> pages;
    if (console) {
        pages.emplace_back(read_as_console_page);
    }
    pages.emplace_back(read_as_ansi_page);
    answers_file file([&] { return at < input.size() ? static_cast<unsigned char>(input[at++]) : EOF; }, pages);
    std::vector<std::string> lines;
    std::string line;
    while (file.next_line(line)) {
        lines.push_back(line);
    }
    return lines;
}

std::string utf16le(const std::u16string& text)
{
    std::string bytes = "\xFF\xFE";
    for (const char16_t unit : text) {
        bytes += static_cast<char>(unit & 0xFF);
        bytes += static_cast<char>(unit >> 8);
    }
    return bytes;
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
            true, {"41\r\n", "pr\u00fcf.bin\r\n"}},
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
        {"cmd's echo at a console: its code page",
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
        {"no page reads it: left as it is", "x\x81\xff.bin\n", true, {"x\x81\xff.bin\n"}},
        {"each line on its own", "\xc3\xa4\n\x84\n", true, {"\u00e4\n", "\u00e4\n"}},
        {"UTF-16LE (PowerShell 5)", utf16le(u"41\r\n\u00c5\u0141\u00f3d\u017a.bin\r\n"), false,
            {"41\r\n", "\u00c5\u0141\u00f3d\u017a.bin\r\n"}},
        {"UTF-16LE, a pair of halves", utf16le(u"\U0001F600.bin"), false, {"\U0001F600.bin"}},
        {"UTF-16LE, a lone half", utf16le(u"x") + std::string("\x00\xD8y\x00", 4), false, {"x" + bad + "y"}},
        {"UTF-16LE, a first half at the end", utf16le(u"x") + "\x3D\xD8", false, {"x" + bad}},
        {"UTF-16LE, a byte left over", utf16le(u"x") + "y", false, {"x" + bad}},
        {"UTF-16LE, Cyrillic K whose low byte is Ctrl-Z", utf16le(u"\u041a.bin"), false, {"\u041a.bin"}},
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

} // namespace
