#pragma once

#include <cstddef>
#include <string>

// The UTF-8 lead-byte rule, for every place that must tell where one character ends: how many
// bytes the character that `lead` starts takes, 1 for ASCII, or 0 when `lead` starts none (a
// continuation byte, or 0xC0, 0xC1 and 0xF5 upwards, which never start a valid character).
constexpr std::size_t utf8_sequence_length(unsigned char lead)
{
    if (lead < 0x80) {
        return 1;
    }
    if (lead >= 0xC2 && lead <= 0xDF) {
        return 2;
    }
    if (lead >= 0xE0 && lead <= 0xEF) {
        return 3;
    }
    if (lead >= 0xF0 && lead <= 0xF4) {
        return 4;
    }
    return 0;
}

constexpr bool is_utf8_continuation(unsigned char byte) { return (byte & 0xC0) == 0x80; }

// The length of the valid UTF-8 character at `at` (at most `left` bytes on), or 0 when the bytes
// there are no such character: a stray continuation, a cut sequence, an overlong form, a
// surrogate, or past U+10FFFF.
inline std::size_t utf8_character_length(const unsigned char* at, std::size_t left)
{
    const unsigned char lead = at[0];
    const std::size_t length = utf8_sequence_length(lead);
    if (length <= 1) {
        return length;
    }
    // The range of the second byte, which rules out the overlong forms, the surrogates and what
    // lies past U+10FFFF.
    unsigned char low = 0x80;
    unsigned char high = 0xBF;
    if (lead == 0xE0 || lead == 0xF0) {
        low = lead == 0xE0 ? 0xA0 : 0x90;
    } else if (lead == 0xED || lead == 0xF4) {
        high = lead == 0xED ? 0x9F : 0x8F;
    }
    if (left < length || at[1] < low || at[1] > high) {
        return 0;
    }
    for (std::size_t i = 2; i < length; ++i) {
        if (!is_utf8_continuation(at[i])) {
            return 0;
        }
    }
    return length;
}

inline bool is_valid_utf8(const std::string& text)
{
    const auto* at = reinterpret_cast<const unsigned char*>(text.data());
    for (std::size_t left = text.size(); left > 0;) {
        const std::size_t length = utf8_character_length(at, left);
        if (length == 0) {
            return false;
        }
        at += length;
        left -= length;
    }
    return true;
}
