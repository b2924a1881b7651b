#include <gtest/gtest.h>

#include <string>

#include "app/key_decoder.h"

namespace {

// What the decoder said of each byte, one letter a byte: m(ore), l(ast), n(ext key).
std::string steps_for(const std::string& typed)
{
    key_decoder key;
    std::string steps;
    for (const char c : typed) {
        switch (key.take(static_cast<unsigned char>(c))) {
        case key_byte::more:
            steps += 'm';
            break;
        case key_byte::last:
            steps += 'l';
            break;
        case key_byte::next_key:
            steps += 'n';
            break;
        }
    }
    return steps;
}

TEST(KeyDecoder, TellsWhereOneKeyPressEnds)
{
    struct row {
        const char* what;
        std::string typed; // one key press, and at most the byte that follows it
        const char* steps;
    };
    const row rows[] = {
        {"letter", "k", "l"},
        {"DEL, the last ASCII byte", "\x7f", "l"},
        {"interrupt key", "\x03", "l"},
        {"escape alone (a pause ends it)", "\x1b", "m"},
        {"escape twice", "\x1b\x1b", "ml"},
        {"Alt with a key", "\x1bx", "ml"},
        {"arrow up", "\x1b[A", "mml"},
        {"Ctrl with an arrow: parameters", "\x1b[1;5C", "mmmmml"},
        {"F5: parameters and a tilde", "\x1b[15~", "mmmml"},
        {"final byte at the low end of its range", "\x1b[1@", "mmml"},
        {"private parameter byte", "\x1b[?1~", "mmmml"},
        {"intermediate byte before the final one", "\x1b[ q", "mmml"},
        {"F1 (SS3)", "\x1bOP", "mml"},
        {"SS3 takes any one byte", "\x1bO\xc3", "mml"},
        {"Alt with e acute", "\x1b\xc3\xa9", "mml"},
        {"Alt with a broken character", "\x1b\xc3x", "mmn"},
        {"lowest two-byte lead", "\xc2\x80", "ml"},
        {"highest two-byte lead", "\xdf\xbf", "ml"},
        {"euro sign", "\xe2\x82\xac", "mml"},
        {"lowest three-byte lead", "\xe0\xa0\x80", "mml"},
        {"highest three-byte lead", "\xef\xbf\xbd", "mml"},
        {"emoji", "\xf0\x9f\x98\x80", "mmml"},
        {"highest four-byte lead", "\xf4\x8f\xbf\xbf", "mmml"},
        {"stray continuation byte is a key of its own", "\x80", "l"},
        {"overlong lead C0 is a key of its own", "\xc0", "l"},
        {"overlong lead C1 is a key of its own", "\xc1", "l"},
        {"F5 and above lead nothing", "\xf5", "l"},
        {"FF leads nothing", "\xff", "l"},
        {"letter after a lone lead byte", "\xc3q", "mn"},
        {"letter inside a four-byte character", "\xf0\x9fq", "mmn"},
        {"escape after a lone lead byte", "\xe2\x1b", "mn"},
    };
    for (const auto& r : rows) {
        EXPECT_EQ(steps_for(r.typed), r.steps) << r.what;
    }
}

} // namespace
