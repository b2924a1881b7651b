// The two questions fed with arbitrary standard input: the port number, then the file name.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "app/dialogue.h"
#include "console/console.h"
#include "fuzz_check.h"
#include "support/expected_text.h"

namespace {

constexpr std::size_t NAME_LIMIT = FIRMWARE_FILE_CHARACTERS;
// Input ends once for each question at most; every other read takes a character.
constexpr std::size_t MAX_EOF_READS = 2;
constexpr char PORT_ANSWERED[] = "\n\r";
constexpr char FILE_ANSWERED[] = "\n";

bool is_space(int c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; }
bool is_digit(int c) { return c >= '0' && c <= '9'; }

// Standard input as stdio gives it: one character of push-back, which must be the one just read
// (ungetc of anything else would change what the next question sees).
class fuzz_console final : public console {
public:
    fuzz_console(const std::uint8_t* data, std::size_t size) : data_(data), size_(size), scope_(*this) { }

    void write(const char* text, std::size_t length) override { output.append(text, length); }
    int read_char() override
    {
        ++reads;
        // Unread characters come back, so a bound of twice the input is generous for any
        // reader that makes progress; past it the dialogue is going round in circles.
        FUZZ_CHECK(reads <= 2 * size_ + MAX_EOF_READS + 2, "the dialogue keeps reading without consuming input");
        last_was_unread_ = false;
        if (at_ >= size_) {
            ++eof_reads;
            last_read_ = EOF;
            return EOF;
        }
        last_read_ = data_[at_++];
        return last_read_;
    }
    void unread_char(int c) override
    {
        FUZZ_CHECK(c != EOF, "EOF was pushed back");
        FUZZ_CHECK(!last_was_unread_, "two characters pushed back; stdio guarantees only one");
        FUZZ_CHECK(c == last_read_, "a character other than the one just read was pushed back");
        FUZZ_CHECK(at_ > 0, "push-back before any read");
        ++unreads;
        last_was_unread_ = true;
        --at_;
    }
    void wait_raw_key() override { FUZZ_CHECK(false, "the questions never wait for a key"); }

    std::size_t consumed() const { return at_; }

    std::string output;
    std::size_t reads = 0;
    std::size_t unreads = 0;
    std::size_t eof_reads = 0;

private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t at_ = 0;
    int last_read_ = EOF;
    bool last_was_unread_ = false;
    console_scope scope_;
};

// What the port question should make of the input, worked out on the whole text at once rather
// than character by character as the dialogue reads it: numbers are whitespace-separated, a
// sign may lead, leading zeros count for nothing, and anything else, or digits followed by a zero
// byte, costs the rest of its line, which a carriage return alone also ends.
struct port_expectation {
    bool accepted = false;
    int port = 0;
    std::size_t retries = 0;
    std::size_t end = 0; // where the file question starts reading
};

port_expectation expect_port(const std::uint8_t* data, std::size_t size)
{
    port_expectation result;
    std::size_t at = 0;
    for (;;) {
        while (at < size && is_space(data[at])) {
            ++at;
        }
        if (at == size) {
            return result;
        }
        const bool negative = data[at] == '-';
        if (data[at] == '-' || data[at] == '+') {
            ++at;
            if (at == size) {
                return result;
            }
        }
        // The rest of the line, up to a line feed or a carriage return alone, and that.
        const auto drop_line = [&] {
            while (at < size && data[at] != '\n' && data[at] != '\r') {
                ++at;
            }
            at = std::min(at + 1, size);
            ++result.retries;
        };
        if (!is_digit(data[at])) {
            drop_line();
            continue;
        }
        std::size_t first = at;
        while (at < size && is_digit(data[at])) {
            ++at;
        }
        if (at < size && data[at] == '\0') {
            drop_line(); // two bytes a character: no number
            continue;
        }
        while (first < at && data[first] == '0') {
            ++first;
        }
        int value = 0;
        const bool short_enough = at - first <= 3;
        for (std::size_t i = first; short_enough && i < at; ++i) {
            value = value * 10 + (data[i] - '0');
        }
        if (!negative && short_enough && value >= 1 && value <= 255) {
            result.accepted = true;
            result.port = value;
            result.end = at;
            return result;
        }
        ++result.retries;
    }
}

// Consumes `piece` from the front of `text` if it is there.
bool take(const std::string& text, std::size_t& at, const std::string& piece)
{
    if (text.compare(at, piece.size(), piece) != 0) {
        return false;
    }
    at += piece.size();
    return true;
}

// The transcript must be: the question, then for each number read "\n\r" and, if it was
// refused, the retry prompt; on acceptance the file question and its "\n". Returns the retries.
std::size_t check_transcript(const std::string& output, bool port_accepted)
{
    std::size_t at = 0;
    FUZZ_CHECK(take(output, at, expected::port_question), "the transcript does not start with the port question");
    std::size_t retries = 0;
    for (;;) {
        FUZZ_CHECK(take(output, at, PORT_ANSWERED), "a port answer is not followed by \\n\\r");
        if (!take(output, at, expected::port_again)) {
            break;
        }
        ++retries;
    }
    if (port_accepted) {
        FUZZ_CHECK(take(output, at, expected::file_question), "the file question is missing after the port");
        FUZZ_CHECK(take(output, at, FILE_ANSWERED), "the file answer is not followed by \\n");
    }
    FUZZ_CHECK(at == output.size(), "the transcript has text beyond the known pieces");
    return retries;
}

// Characters as the operator sees them: a lead byte and the continuation bytes it announces are
// one; any other byte is one of its own.
std::size_t characters_in(const std::uint8_t* text, std::size_t length)
{
    std::size_t count = 0;
    for (std::size_t i = 0; i < length; ++count) {
        const std::uint8_t lead = text[i++];
        const std::size_t due = lead >= 0xF0 && lead <= 0xF4 ? 3
            : lead >= 0xE0 && lead <= 0xEF                   ? 2
            : lead >= 0xC2 && lead <= 0xDF                   ? 1
                                                             : 0;
        for (std::size_t k = 0; k < due && i < length && (text[i] & 0xC0) == 0x80; ++k) {
            ++i;
        }
    }
    return count;
}

void check_file_answer(const std::uint8_t* data, std::size_t size, std::size_t start, file_name_answer answer,
    const char (&name)[FIRMWARE_FILE_ROOM])
{
    std::size_t first = start;
    while (first < size && is_space(data[first])) {
        ++first;
    }
    std::size_t end = first;
    while (end < size && !is_space(data[end])) {
        ++end;
    }
    if (end == first) {
        FUZZ_CHECK(answer == file_name_answer::end_of_input, "no word left, yet the answer is not end of input");
        return;
    }
    const bool holds_zero = std::memchr(data + first, 0, end - first) != nullptr;
    // A quote opened and not closed before a blank: a quoted path with a blank in it.
    const bool quoted = end - first >= 2 && data[first] == '"' && data[end - 1] == '"';
    if (!holds_zero && !quoted && data[first] == '"' && end < size && (data[end] == ' ' || data[end] == '\t')) {
        FUZZ_CHECK(answer == file_name_answer::cut_at_blank || answer == file_name_answer::too_long,
            "a quoted name cut at a blank was taken");
        return;
    }
    // One pair of double quotes around the whole word is no part of the name.
    if (end - first >= 2 && data[first] == '"' && data[end - 1] == '"') {
        ++first;
        --end;
    }
    const std::size_t word = end - first;
    if (characters_in(data + first, word) > NAME_LIMIT || holds_zero) {
        FUZZ_CHECK(answer == file_name_answer::too_long || answer == file_name_answer::zero_byte,
            "a word over 254 characters or with a zero byte was taken");
        return;
    }
    FUZZ_CHECK(answer == file_name_answer::given, "a word of up to 254 characters was not taken");
    FUZZ_CHECK(name[word] == '\0', "the name is not terminated right after the word");
    FUZZ_CHECK(std::memcmp(name, data + first, word) == 0, "the name differs from the word typed");
    for (std::size_t i = 0; i < word; ++i) {
        FUZZ_CHECK(!is_space(static_cast<unsigned char>(name[i])), "the name holds white space");
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    fuzz_console con(data, size);
    const port_expectation expected_port = expect_port(data, size);

    int port = -1;
    const phase_result port_result = ask_port_number(port);
    const bool accepted = port_result == phase_result::success;
    FUZZ_CHECK(accepted == expected_port.accepted, "the port verdict differs from the input's numbers");
    if (accepted) {
        FUZZ_CHECK(port >= 1 && port <= 255, "an accepted port is outside 1..255");
        FUZZ_CHECK(port == expected_port.port, "the accepted port is not the number typed");
        FUZZ_CHECK(con.consumed() == expected_port.end, "the port question did not stop right after the number");
    } else {
        FUZZ_CHECK(port == -1, "a failed port question changed the port");
        FUZZ_CHECK(con.consumed() == size, "the port question failed before the end of input");
    }

    char name[FIRMWARE_FILE_ROOM];
    std::memset(name, 0x5A, sizeof name);
    if (accepted) {
        const file_name_answer answer = ask_file_name(name);
        check_file_answer(data, size, expected_port.end, answer, name);
    }

    const std::size_t retries = check_transcript(con.output, accepted);
    FUZZ_CHECK(retries == expected_port.retries, "the number of retry prompts differs from the refused answers");
    FUZZ_CHECK(con.eof_reads <= MAX_EOF_READS, "end of input was read again and again");
    FUZZ_CHECK(con.reads - con.unreads - con.eof_reads <= size, "more characters taken than the input has");
    return 0;
}
