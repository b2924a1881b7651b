#include "app/dialogue.h"

#include <cstdio>
#include <cstring>

#include "common/utf8.h"
#include "console/console.h"

namespace {

constexpr int BANNER_WIDTH = 59;
constexpr int BANNER_INNER_WIDTH = 53;
constexpr char BANNER_MAKER[] = "Morvaine";
constexpr char BANNER_DEVICE[] = "Tarvolo V.6";
constexpr char BANNER_PROGRAM[] = "Firmware Updater";

constexpr char PROMPT_PORT[] = "Please enter COM port number (0 - 255)\n\r";
constexpr char PROMPT_PORT_DEVICE[] = "of the connected Tarvolo: ";
constexpr char PROMPT_PORT_AGAIN[] = "Invalid COM port, enter new number: ";
constexpr char PROMPT_FILE[] = "Enter firmware file name (e.g. TVL_V6_FW_V3_7_2.bin): ";

constexpr int MIN_PORT = 1;
constexpr int MAX_PORT = 255;
// Digits beyond this are still consumed but no longer change the verdict: the value is out of
// range whatever follows, and it never gets near the limits of an int.
constexpr long PORT_SATURATION = 1000;

// The white space of the C locale, which is what %d and %s skip.
bool is_space(int c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; }
bool is_digit(int c) { return c >= '0' && c <= '9'; }

void say_centred(const char* text)
{
    const int spaces = BANNER_INNER_WIDTH - static_cast<int>(std::strlen(text));
    const int right = spaces / 2;
    const int left = spaces - right;
    say("***%*s%s%*s***\n\r", left, "", text, right, "");
}

void say_frame_line() { say("%.*s\n\r", BANNER_WIDTH, "***********************************************************"); }

int skip_space(console& con)
{
    int c = con.read_char();
    while (c != EOF && is_space(c)) {
        c = con.read_char();
    }
    return c;
}

enum class number_read { number, not_a_number, end_of_input };

// Up to a line feed or a carriage return alone, which a script's answer may end with.
number_read drop_rest_of_line(console& con, int c)
{
    while (c != '\n' && c != '\r' && c != EOF) {
        c = con.read_char();
    }
    return number_read::not_a_number;
}

// %d without its undefined cases: the digits are taken and the next character left unread;
// anything that is not a number is dropped with the rest of its line, so a retry sees new input.
number_read read_number(console& con, long& value)
{
    int c = skip_space(con);
    if (c == EOF) {
        return number_read::end_of_input;
    }
    const bool negative = c == '-';
    if (c == '-' || c == '+') {
        c = con.read_char();
        if (c == EOF) {
            return number_read::end_of_input;
        }
    }
    if (!is_digit(c)) {
        return drop_rest_of_line(con, c);
    }
    long magnitude = 0;
    for (; is_digit(c); c = con.read_char()) {
        if (magnitude < PORT_SATURATION) {
            magnitude = magnitude * 10 + (c - '0');
        }
    }
    if (c == '\0') {
        // Text in an encoding of two bytes a character ("12" in UTF-16 without its mark): its
        // first digit is no port number, and opening that port resets the device behind it.
        return drop_rest_of_line(con, c);
    }
    if (c != EOF) {
        con.unread_char(c);
    }
    value = negative ? -magnitude : magnitude;
    return number_read::number;
}

// Characters as the operator sees them: a UTF-8 sequence is one, and so is each byte that does
// not belong to one (a name typed in a code page on Linux).
struct character_count {
    std::size_t characters = 0;
    std::size_t continuations_due = 0;

    bool starts_one(unsigned char byte) const { return continuations_due == 0 || !is_utf8_continuation(byte); }
    void add(unsigned char byte)
    {
        if (!starts_one(byte)) {
            --continuations_due;
            return;
        }
        ++characters;
        const std::size_t sequence = utf8_sequence_length(byte);
        continuations_due = sequence > 1 ? sequence - 1 : 0;
    }
};

// How many bytes of `text` its first `limit` characters take.
std::size_t bytes_of_first_characters(const char* text, std::size_t length, std::size_t limit)
{
    character_count counted;
    for (std::size_t i = 0; i < length; ++i) {
        const auto byte = static_cast<unsigned char>(text[i]);
        if (counted.starts_one(byte) && counted.characters == limit) {
            return i;
        }
        counted.add(byte);
    }
    return length;
}

} // namespace

void show_banner()
{
    say("\n\n\r");
    say_frame_line();
    say_centred(BANNER_MAKER);
    say_centred(BANNER_DEVICE);
    say_centred(BANNER_PROGRAM);
    say_frame_line();
    say("\n\r");
}

phase_result ask_port_number(int& num_comport)
{
    console& con = active_console();
    say(PROMPT_PORT);
    say(PROMPT_PORT_DEVICE);
    for (;;) {
        long value = 0;
        const number_read result = read_number(con, value);
        say("\n\r");
        if (result == number_read::end_of_input) {
            return phase_result::failure;
        }
        if (result == number_read::number && value >= MIN_PORT && value <= MAX_PORT) {
            num_comport = static_cast<int>(value);
            return phase_result::success;
        }
        say(PROMPT_PORT_AGAIN);
    }
}

file_name_answer ask_file_name(char (&firmware_file)[FIRMWARE_FILE_ROOM])
{
    console& con = active_console();
    say(PROMPT_FILE);
    int c = skip_space(con);
    const bool nothing_typed = c == EOF;
    std::size_t length = 0;
    character_count counted;
    file_name_answer answer = file_name_answer::given;
    // Two characters more than a name may have, for the quotes around a name of full length.
    for (; c != EOF && !is_space(c); c = con.read_char()) {
        const auto byte = static_cast<unsigned char>(c);
        if (counted.starts_one(byte) && counted.characters == FIRMWARE_FILE_CHARACTERS + 2) {
            answer = file_name_answer::too_long;
            break;
        }
        if (c == '\0') {
            answer = file_name_answer::zero_byte;
            break;
        }
        counted.add(byte);
        firmware_file[length++] = static_cast<char>(c);
    }
    const bool quoted = length >= 2 && firmware_file[0] == '"' && firmware_file[length - 1] == '"';
    if (answer == file_name_answer::given && quoted) {
        length -= 2;
        std::memmove(firmware_file, firmware_file + 1, length);
    } else if (answer == file_name_answer::given && length >= 1 && firmware_file[0] == '"' && (c == ' ' || c == '\t')) {
        // A quoted path with a blank in it, as Explorer's "Copy as path" gives: the rest of it is
        // still unread, and the part read is no name the operator meant.
        answer = file_name_answer::cut_at_blank;
    }
    const std::size_t within_limit = bytes_of_first_characters(firmware_file, length, FIRMWARE_FILE_CHARACTERS);
    if (answer == file_name_answer::given && within_limit < length) {
        answer = file_name_answer::too_long;
    }
    if (answer == file_name_answer::too_long || answer == file_name_answer::zero_byte) {
        length = within_limit;
    }
    firmware_file[length] = '\0';
    if (c != EOF && (answer == file_name_answer::given || answer == file_name_answer::cut_at_blank)) {
        con.unread_char(c);
    }
    say("\n");
    return nothing_typed ? file_name_answer::end_of_input : answer;
}
