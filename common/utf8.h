#pragma once

#include <cstddef>

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
