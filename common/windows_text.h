#pragma once

#include <string>

#include "common/windows_api.h"

// Text between the encodings of the Windows build: the answers arrive as UTF-8, the file functions
// take UTF-16, and the reason lines are written in UTF-8 so that every layer composes them as the
// Linux build does.

// `text` read in `code_page`; empty when it is no text of that code page.
inline std::wstring wide_from(const char* text, UINT code_page)
{
    const DWORD flags = MB_ERR_INVALID_CHARS;
    const int length = MultiByteToWideChar(code_page, flags, text, -1, nullptr, 0);
    if (length <= 0) {
        return {};
    }
    std::wstring wide(static_cast<std::size_t>(length), L'\0');
    if (MultiByteToWideChar(code_page, flags, text, -1, wide.data(), length) != length) {
        return {};
    }
    wide.resize(static_cast<std::size_t>(length - 1)); // without the terminating zero
    return wide;
}

inline std::string utf8_from(const std::wstring& wide)
{
    if (wide.empty()) {
        return {};
    }
    const int units = static_cast<int>(wide.size());
    const int length = WideCharToMultiByte(CP_UTF8, 0, wide.data(), units, nullptr, 0, nullptr, nullptr);
    if (length <= 0) {
        return {};
    }
    std::string text(static_cast<std::size_t>(length), '\0');
    if (WideCharToMultiByte(CP_UTF8, 0, wide.data(), units, text.data(), length, nullptr, nullptr) != length) {
        return {};
    }
    return text;
}

// The system's own words for `error` (a GetLastError value), in the operator's language, in UTF-8
// and without the line break the system ends them with.
inline std::string system_message(DWORD error)
{
    wchar_t* words = nullptr;
    const DWORD length =
        FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
            nullptr, error, 0, reinterpret_cast<wchar_t*>(&words), 0, nullptr);
    std::wstring message = length > 0 && words != nullptr ? std::wstring(words, length) : std::wstring();
    (void)LocalFree(words); // nothing is lost if the system cannot take its buffer back
    message.erase(message.find_last_not_of(L"\r\n ") + 1);
    if (message.empty()) {
        return "system error " + std::to_string(error);
    }
    return utf8_from(message);
}
