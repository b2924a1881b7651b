#include <gtest/gtest.h>

#include <string>

#include "app/dialogue.h"
#include "support/captured_console.h"
#include "support/expected_text.h"
#include "support/text.h"

namespace {

const std::string NL = "\n\r";

TEST(Banner, ExactBytesAndLineWidths)
{
    captured_console con;
    show_banner();
    EXPECT_EQ(con.output, expected::banner);
    // Every line between the blank ones is 59 characters before its "\n\r".
    std::size_t from = 3;
    for (int line = 0; line < 5; ++line) {
        const std::size_t end = con.output.find("\n\r", from);
        EXPECT_EQ(end - from, 59U) << "line " << line;
        from = end + 2;
    }
}

TEST(PortQuestion, Answers)
{
    struct row {
        const char* what;
        std::string input;
        int retries;
        int port;
        std::string left_unread;
    };
    const row rows[] = {
        {"plain", "5\n", 0, 5, "\n"},
        {"lowest", "1\n", 0, 1, "\n"},
        {"highest", "255\n", 0, 255, "\n"},
        {"zero", "0\n7\n", 1, 7, "\n"},
        {"above range then below", "256\n-5\n9\n", 2, 9, "\n"},
        {"leading blanks and tabs", "  \t 12\n", 0, 12, "\n"},
        {"empty lines skipped", "\n\r\n\n42\n", 0, 42, "\n"},
        {"explicit plus", "+8\n", 0, 8, "\n"},
        {"leading zeros", "0005\n", 0, 5, "\n"},
        {"negative zero", "-0\n3\n", 1, 3, "\n"},
        {"rest of line stays", "12 fw.bin\n", 0, 12, " fw.bin\n"},
        {"letters right after digits stay", "12abc\n", 0, 12, "abc\n"},
        {"word drops its line", "abc def 5\n6\n", 1, 6, "\n"},
        {"lone sign", "-\n4\n", 1, 4, "\n"},
        {"sign then letter", "+x\n4\n", 1, 4, "\n"},
        {"beyond 32 bits", "99999999999999999999\n8\n", 1, 8, "\n"},
        {"32-bit edge", "2147483647\n-2147483648\n2\n", 2, 2, "\n"},
        {"number at end of input", "77", 0, 77, ""},
        // Two bytes a character without a mark: the 1 of "12" is no port to open.
        {"digits then a zero byte",
            std::string("1\0"
                        "2\n7\n",
                6),
            1, 7, "\n"},
        {"a zero byte first",
            std::string("\0"
                        "5\n3\n",
                5),
            1, 3, "\n"},
        // A script's answer ended by a carriage return alone is dropped without waiting for more.
        {"word ended by a carriage return", "x\r9\n", 1, 9, "\n"},
    };
    for (const auto& r : rows) {
        captured_console con(r.input);
        int port = 0;
        ASSERT_EQ(ask_port_number(port), phase_result::success) << r.what;
        std::string want = expected::port_question + NL;
        for (int i = 0; i < r.retries; ++i) {
            want += expected::port_again + NL;
        }
        EXPECT_EQ(con.output, want) << r.what;
        EXPECT_EQ(port, r.port) << r.what;
        EXPECT_EQ(con.unread_input(), r.left_unread) << r.what;
    }
}

TEST(PortQuestion, EndOfInputEndsTheQuestion)
{
    struct row {
        const char* what;
        std::string input;
        int retries;
    };
    const row rows[] = {
        {"nothing", "", 0},
        {"blank only", " \n\n", 0},
        {"after an invalid number", "0\n", 1},
        {"inside a word", "abc", 1},
        {"after a sign", "-", 0},
    };
    for (const auto& r : rows) {
        captured_console con(r.input);
        int port = -1;
        EXPECT_EQ(ask_port_number(port), phase_result::failure) << r.what;
        std::string want = expected::port_question + NL;
        for (int i = 0; i < r.retries; ++i) {
            want += expected::port_again + NL;
        }
        EXPECT_EQ(con.output, want) << r.what;
        EXPECT_EQ(port, -1) << r.what;
        EXPECT_LE(con.reads_past_end, 2) << r.what << ": must not keep reading after the end";
    }
}

TEST(FileQuestion, Answers)
{
    const std::string longest(254, 'n');
    // Characters as the operator counts them, whatever bytes each takes in UTF-8.
    const std::string cyrillic_254 = repeated("\u0436", 254);
    const std::string kanji_254 = repeated("\u8868", 254);
    struct row {
        const char* what;
        std::string input;
        file_name_answer answer;
        std::string name;
        std::string left_unread;
    };
    const row rows[] = {
        {"plain", "fw.bin\n", file_name_answer::given, "fw.bin", "\n"},
        {"leftover from the port line", " fw.bin\n", file_name_answer::given, "fw.bin", "\n"},
        {"blank inside", "my fw.bin\n", file_name_answer::given, "my", " fw.bin\n"},
        {"after empty lines", "\n\n\tx.bin\n", file_name_answer::given, "x.bin", "\n"},
        {"end of input after the word", "x.bin", file_name_answer::given, "x.bin", ""},
        {"254 characters fit", longest + "\n", file_name_answer::given, longest, "\n"},
        {"255 characters do not", longest + "n\n", file_name_answer::too_long, "", ""},
        {"far too long", std::string(5000, 'q'), file_name_answer::too_long, "", ""},
        {"zero byte inside", std::string("fw.bin\0.old\n", 12), file_name_answer::zero_byte, "", ""},
        {"zero byte alone", std::string("\0\n", 2), file_name_answer::zero_byte, "", ""},
        {"end of input", "", file_name_answer::end_of_input, "", ""},
        {"only blanks", "  \n \n", file_name_answer::end_of_input, "", ""},
        {"254 Cyrillic letters fit", cyrillic_254 + "\n", file_name_answer::given, cyrillic_254, "\n"},
        {"254 kanji fit", kanji_254 + "\n", file_name_answer::given, kanji_254, "\n"},
        {"255 kanji do not", kanji_254 + "\u8868\n", file_name_answer::too_long, kanji_254, ""},
        {"254 characters beyond U+FFFF fit", repeated("\U0001F600", 254), file_name_answer::given,
            repeated("\U0001F600", 254), ""},
        // A byte that is no UTF-8 (a Linux name in a code page) counts as one character.
        {"254 bytes of Latin-1", std::string(254, '\xE9') + "\n", file_name_answer::given, std::string(254, '\xE9'),
            "\n"},
        // Copied from Explorer ("Copy as path"), quotes and all; the quotes are no part of the name.
        {"path in double quotes", "\"C:\\t\\fw.bin\"\n", file_name_answer::given, "C:\\t\\fw.bin", "\n"},
        {"254 characters in double quotes", "\"" + longest + "\"\n", file_name_answer::given, longest, "\n"},
        {"255 characters in double quotes", "\"" + longest + "n\"\n", file_name_answer::too_long,
            "\"" + longest.substr(1), ""},
        {"only an opening quote kept", "\"fw.bin\n", file_name_answer::given, "\"fw.bin", "\n"},
        // A quoted path with a blank in it: refused with the part read, the rest left unread.
        {"quoted path cut at a blank", "\"C:\\Users\\First Last\\fw.bin\"\n", file_name_answer::cut_at_blank,
            "\"C:\\Users\\First", " Last\\fw.bin\"\n"},
        {"quoted path cut at a tab", "\"a\tb\"\n", file_name_answer::cut_at_blank, "\"a", "\tb\"\n"},
        {"quotes inside kept", "a\"b\".bin\n", file_name_answer::given, "a\"b\".bin", "\n"},
        {"one quote alone kept", "\"\n", file_name_answer::given, "\"", "\n"},
        {"empty quotes are an empty name, not the end", "\"\"\n", file_name_answer::given, "", "\n"},
    };
    for (const auto& r : rows) {
        captured_console con(r.input);
        char name[FIRMWARE_FILE_ROOM];
        std::fill(std::begin(name), std::end(name), '#');
        ASSERT_EQ(ask_file_name(name), r.answer) << r.what;
        EXPECT_EQ(con.output, expected::file_question + "\n") << r.what;
        if (r.answer == file_name_answer::given || r.answer == file_name_answer::cut_at_blank) {
            EXPECT_EQ(std::string(name), r.name) << r.what;
            EXPECT_EQ(con.unread_input(), r.left_unread) << r.what;
        } else if (!r.name.empty()) {
            EXPECT_EQ(std::string(name), r.name) << r.what << ": the part shown with the refusal";
        }
        EXPECT_NE(std::find(std::begin(name), std::end(name), '\0'), std::end(name)) << r.what << ": unterminated";
    }
}

} // namespace
