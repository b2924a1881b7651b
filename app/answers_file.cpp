#include "app/answers_file.h"

#include <algorithm>
#include <cstdio>
#include <iterator>
#include <utility>

#include "common/utf8.h"

namespace {

constexpr char32_t FIRST_HALF_START = 0xD800;
constexpr char32_t SECOND_HALF_START = 0xDC00;
constexpr char32_t HALVES_END = 0xE000;

constexpr char UTF8_MARK[] = "\xEF\xBB\xBF";
constexpr std::size_t UTF8_MARK_SIZE = sizeof UTF8_MARK - 1;

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

std::vector<std::string> unmarked_line_readings(
    const std::string& line, const std::vector<code_page_reading>& code_pages)
{
    std::vector<std::string> readings;
    const auto add = [&readings](const std::string& reading) {
        if (std::find(readings.begin(), readings.end(), reading) == readings.end()) {
            readings.push_back(reading);
        }
    };
    if (is_valid_utf8(line)) {
        add(line);
    }
    for (const code_page_reading& read : code_pages) {
        std::string utf8;
        if (read(line, utf8)) {
            add(utf8);
        }
    }
    if (readings.empty()) {
        readings.push_back(line);
    }
    return readings;
}

answers_file::answers_file(std::function<int()> next_byte, std::vector<code_page_reading> code_pages)
    : next_byte_(std::move(next_byte)), code_pages_(std::move(code_pages))
{
}

int answers_file::next_byte()
{
    if (looked_ahead_.empty()) {
        return next_byte_();
    }
    const auto c = static_cast<unsigned char>(looked_ahead_.front());
    looked_ahead_.erase(0, 1);
    return c;
}

void answers_file::read_marking()
{
    const std::string utf8_mark = UTF8_MARK;
    const std::string utf16le_mark = "\xFF\xFE";
    // Only as many bytes as could still be a mark, and a second one: the first answer may be all
    // there is so far, but an answer is never one byte without its line end.
    while (looked_ahead_.size() < utf8_mark.size()) {
        const bool may_be_utf8 = utf8_mark.compare(0, looked_ahead_.size(), looked_ahead_) == 0;
        const bool may_be_utf16 = looked_ahead_.size() < utf16le_mark.size() &&
            utf16le_mark.compare(0, looked_ahead_.size(), looked_ahead_) == 0;
        if (looked_ahead_ == utf16le_mark || (!may_be_utf8 && !may_be_utf16 && looked_ahead_.size() >= 2)) {
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
    } else if (looked_ahead_.size() >= 2 && looked_ahead_[0] != '\0' && looked_ahead_[1] == '\0') {
        // A character of ASCII and a zero byte: UTF-16LE without its mark, whose bytes read one by
        // one would end every answer after its first character.
        marking_ = marking::utf16le;
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
    const bool got = marking_ == marking::utf16le ? next_utf16_line(line) : next_byte_line(line);
    if (!got) {
        return false;
    }
    const bool marked_here = line.compare(0, UTF8_MARK_SIZE, UTF8_MARK) == 0;
    if (marked_here) {
        line.erase(0, UTF8_MARK_SIZE);
    }
    // A mark says UTF-8 for its line alone, as for the whole file at its start.
    readings_ = marking_ == marking::none && !marked_here ? unmarked_line_readings(line, code_pages_)
                                                          : std::vector<std::string>{line};
    line = readings_.front();
    return true;
}

bool answers_file::next_utf16_line(std::string& line)
{
    for (;;) {
        const int low = next_byte();
        if (low == EOF) {
            utf16_.end(line);
            return !line.empty();
        }
        const int high = next_byte();
        if (high == EOF) {
            utf16_.end(line);
            line += NO_UTF8_BYTE; // half a code unit
            return true;
        }
        const auto unit = static_cast<char16_t>(static_cast<unsigned>(low) | (static_cast<unsigned>(high) << 8));
        const bool line_feed_after_return = after_carriage_return_ && unit == u'\n';
        after_carriage_return_ = unit == u'\r';
        if (line_feed_after_return && line.empty()) {
            continue;
        }
        utf16_.add(unit, line);
        if (unit == u'\n' || unit == u'\r') {
            return true;
        }
    }
}

bool answers_file::next_byte_line(std::string& line)
{
    for (;;) {
        const int c = next_byte();
        if (c == EOF) {
            return !line.empty();
        }
        const bool line_feed_after_return = after_carriage_return_ && c == '\n';
        after_carriage_return_ = c == '\r';
        if (line_feed_after_return && line.empty()) {
            continue;
        }
        line += static_cast<char>(c);
        if (c == '\n' || c == '\r') {
            return true;
        }
    }
}

namespace {

// The white space of the C locale, at which the dialogue ends a word.
bool is_blank_or_line_end(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; }

std::vector<std::string> words_of(const std::string& line)
{
    std::vector<std::string> words;
    std::size_t at = 0;
    while (at < line.size()) {
        while (at < line.size() && is_blank_or_line_end(line[at])) {
            ++at;
        }
        const std::size_t start = at;
        while (at < line.size() && !is_blank_or_line_end(line[at])) {
            ++at;
        }
        if (at > start) {
            words.push_back(line.substr(start, at - start));
        }
    }
    return words;
}

} // namespace

std::string without_quotes(const std::string& word)
{
    if (word.size() >= 2 && word.front() == '"' && word.back() == '"') {
        return word.substr(1, word.size() - 2);
    }
    return word;
}

std::vector<std::string> other_readings_of_word(const std::vector<std::string>& readings, const std::string& name)
{
    std::vector<std::string> others;
    if (readings.size() < 2) {
        return others;
    }
    const std::vector<std::string> words = words_of(readings.front());
    const auto found = std::find_if(
        words.begin(), words.end(), [&name](const std::string& word) { return without_quotes(word) == name; });
    if (found == words.end()) {
        return others;
    }
    const auto index = static_cast<std::size_t>(found - words.begin());
    for (std::size_t i = 1; i < readings.size(); ++i) {
        const std::vector<std::string> theirs = words_of(readings[i]);
        if (theirs.size() == words.size()) {
            others.push_back(without_quotes(theirs[index]));
        }
    }
    return others;
}

reading_choice choose_reading(
    const std::vector<std::string>& readings, const std::function<bool(const std::string&)>& names_a_file)
{
    reading_choice choice;
    if (readings.size() < 2) {
        choice.name = readings.empty() ? std::string() : readings.front();
        return choice;
    }
    std::copy_if(readings.begin(), readings.end(), std::back_inserter(choice.existing), names_a_file);
    if (choice.existing.size() == 1) {
        choice.name = choice.existing.front();
    } else if (choice.existing.empty()) {
        choice.name = readings.front();
    }
    return choice;
}
