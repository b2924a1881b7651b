#include "app/answers_file.h"

#include <cstdio>
#include <utility>

#include "common/utf8.h"

namespace {

constexpr char32_t FIRST_HALF_START = 0xD800;
constexpr char32_t SECOND_HALF_START = 0xDC00;
constexpr char32_t HALVES_END = 0xE000;

void append_code_point(char32_t c, std::string& out)
{
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

} // namespace

void utf8_from_utf16::add(char16_t unit, std::string& out)
{
    const char32_t c = unit;
    if (first_half_ != 0) {
        const char32_t first = first_half_;
        first_half_ = 0;
        if (c >= SECOND_HALF_START && c < HALVES_END) {
            append_code_point(0x10000 + ((first - FIRST_HALF_START) << 10) + (c - SECOND_HALF_START), out);
            return;
        }
        out += NO_UTF8_BYTE;
    }
    if (c >= FIRST_HALF_START && c < SECOND_HALF_START) {
        first_half_ = unit;
    } else if (c >= SECOND_HALF_START && c < HALVES_END) {
        out += NO_UTF8_BYTE;
    } else {
        append_code_point(c, out);
    }
}

void utf8_from_utf16::end(std::string& out)
{
    if (first_half_ != 0) {
        first_half_ = 0;
        out += NO_UTF8_BYTE;
    }
}

std::string unmarked_line_as_utf8(const std::string& line, const std::vector<code_page_reading>& code_pages)
{
    if (is_valid_utf8(line)) {
        return line;
    }
    for (const code_page_reading& read : code_pages) {
        std::string utf8;
        if (read(line, utf8)) {
            return utf8;
        }
    }
    return line;
}

answers_file::answers_file(std::function<int()> next_byte, std::vector<code_page_reading> code_pages)
    : next_byte_(std::move(next_byte)), code_pages_(std::move(code_pages))
{
}

void answers_file::read_marking()
{
    const std::string utf8_mark = "\xEF\xBB\xBF";
    const std::string utf16le_mark = "\xFF\xFE";
    // Only as many bytes as could still be a mark: the first answer may be all there is so far.
    while (looked_ahead_.size() < utf8_mark.size()) {
        const bool may_be_utf8 = utf8_mark.compare(0, looked_ahead_.size(), looked_ahead_) == 0;
        const bool may_be_utf16 = looked_ahead_.size() < utf16le_mark.size() &&
            utf16le_mark.compare(0, looked_ahead_.size(), looked_ahead_) == 0;
        if (looked_ahead_ == utf16le_mark || (!may_be_utf8 && !may_be_utf16)) {
            break;
        }
        const int c = next_byte_();
        if (c == EOF) {
            break;
        }
        looked_ahead_ += static_cast<char>(c);
    }
    if (looked_ahead_ == utf8_mark) {
        marking_ = marking::utf8;
        looked_ahead_.clear();
    } else if (looked_ahead_ == utf16le_mark) {
        marking_ = marking::utf16le;
        looked_ahead_.clear();
    } else {
        marking_ = marking::none;
    }
}

bool answers_file::next_line(std::string& line)
{
    if (marking_ == marking::not_yet_read) {
        read_marking();
    }
    line.clear();
    if (marking_ == marking::utf16le) {
        return next_utf16_line(line);
    }
    if (!next_byte_line(line)) {
        return false;
    }
    if (marking_ == marking::none) {
        line = unmarked_line_as_utf8(line, code_pages_);
    }
    return true;
}

bool answers_file::next_utf16_line(std::string& line)
{
    for (;;) {
        const int low = next_byte_();
        if (low == EOF) {
            utf16_.end(line);
            return !line.empty();
        }
        const int high = next_byte_();
        if (high == EOF) {
            utf16_.end(line);
            line += NO_UTF8_BYTE; // half a code unit
            return true;
        }
        const auto unit = static_cast<char16_t>(static_cast<unsigned>(low) | (static_cast<unsigned>(high) << 8));
        utf16_.add(unit, line);
        if (unit == u'\n') {
            return true;
        }
    }
}

bool answers_file::next_byte_line(std::string& line)
{
    std::size_t from_ahead = 0;
    for (;;) {
        int c = EOF;
        if (from_ahead < looked_ahead_.size()) {
            c = static_cast<unsigned char>(looked_ahead_[from_ahead++]);
        } else {
            c = next_byte_();
        }
        if (c == EOF) {
            looked_ahead_.erase(0, from_ahead);
            return !line.empty();
        }
        line += static_cast<char>(c);
        if (c == '\n') {
            looked_ahead_.erase(0, from_ahead);
            return true;
        }
    }
}
