#pragma once

#include <string>
#include <utility>
#include <vector>

// Texts the tests build, one way each.

inline std::string repeated(const std::string& text, int times)
{
    std::string all;
    for (int i = 0; i < times; ++i) {
        all += text;
    }
    return all;
}

// `utf8` in UTF-16LE as Windows tools write it, after `mark` (PowerShell 5 writes "\xFF\xFE",
// `cmd /u` nothing). Characters beyond U+FFFF become a pair of halves.
inline std::string utf16le(const std::string& utf8, const std::string& mark = "\xFF\xFE")
{
    std::string bytes = mark;
    const auto put = [&bytes](char32_t unit) {
        bytes += static_cast<char>(unit & 0xFF);
        bytes += static_cast<char>((unit >> 8) & 0xFF);
    };
    for (std::size_t i = 0; i < utf8.size();) {
        // The lead byte says how many bytes the character takes, and how many of its bits it holds.
        const auto lead = static_cast<unsigned char>(utf8[i]);
        const std::size_t length = lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
        char32_t c = length == 1 ? lead : lead & (0x3F >> (length - 1));
        for (std::size_t k = 1; k < length && i + k < utf8.size(); ++k) {
            c = (c << 6) | (static_cast<unsigned char>(utf8[i + k]) & 0x3F);
        }
        i += length;
        if (c >= 0x10000) {
            put(0xD800 + ((c - 0x10000) >> 10));
            put(0xDC00 + ((c - 0x10000) & 0x3FF));
        } else {
            put(c);
        }
    }
    return bytes;
}

// `text` with each of the names in `values` replaced by its value, in one pass: a value that holds
// a name is left as it is.
inline std::string filled(const std::string& text, const std::vector<std::pair<std::string, std::string>>& values)
{
    std::string out;
    for (std::size_t at = 0; at < text.size();) {
        bool replaced = false;
        for (const auto& [name, value] : values) {
            if (!name.empty() && text.compare(at, name.size(), name) == 0) {
                out += value;
                at += name.size();
                replaced = true;
                break;
            }
        }
        if (!replaced) {
            out += text[at++];
        }
    }
    return out;
}
