#include "image/device_name.h"

#include <algorithm>
#include <cstddef>
#include <initializer_list>
#include <vector>

namespace {

wchar_t upper(wchar_t c) { return c >= L'a' && c <= L'z' ? static_cast<wchar_t>(c - L'a' + L'A') : c; }

bool same_letters(const std::wstring& text, const wchar_t* name)
{
    std::size_t i = 0;
    for (; name[i] != L'\0'; ++i) {
        if (i == text.size() || upper(text[i]) != name[i]) {
            return false;
        }
    }
    return i == text.size();
}

bool is_drive_letter(wchar_t c) { return (c >= L'A' && c <= L'Z') || (c >= L'a' && c <= L'z'); }

// A reserved name as the last part of a path. Windows reads only what stands before the first
// dot or colon ("COM1.bin", "com1:"), with the blanks before that dropped ("NUL  .txt").
bool reserved_part(const std::wstring& part)
{
    std::wstring base = part.substr(0, part.find_first_of(L".:"));
    base.erase(base.find_last_not_of(L' ') + 1);
    const std::initializer_list<const wchar_t*> names = {L"CON", L"PRN", L"AUX", L"NUL", L"CONIN$", L"CONOUT$"};
    if (std::any_of(names.begin(), names.end(), [&base](const wchar_t* name) { return same_letters(base, name); })) {
        return true;
    }
    if (base.size() != 4 || !(same_letters(base.substr(0, 3), L"COM") || same_letters(base.substr(0, 3), L"LPT"))) {
        return false;
    }
    const wchar_t digit = base[3];
    // Superscript one, two and three, which Windows counts as digits here.
    return (digit >= L'0' && digit <= L'9') || digit == L'\u00B9' || digit == L'\u00B2' || digit == L'\u00B3';
}

bool is_hex_digit(wchar_t c)
{
    return (c >= L'0' && c <= L'9') || (c >= L'A' && c <= L'F') || (c >= L'a' && c <= L'f');
}

// "Volume{xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx}\" and more: a path on a volume that has no drive
// letter, as mountvol names it.
bool on_a_volume_without_letter(const std::wstring& rest)
{
    const std::wstring volume = L"VOLUME{";
    const std::wstring guid_form = L"xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx";
    const std::size_t closing = volume.size() + guid_form.size();
    if (rest.size() <= closing + 2 || !same_letters(rest.substr(0, volume.size()), volume.c_str()) ||
        rest.compare(closing, 2, L"}\\") != 0) {
        return false;
    }
    for (std::size_t i = 0; i < guid_form.size(); ++i) {
        const wchar_t c = rest[volume.size() + i];
        if (guid_form[i] == L'-' ? c != L'-' : !is_hex_digit(c)) {
            return false;
        }
    }
    return true;
}

// After a device namespace prefix: a path on a drive ("C:\fw.bin"), on a volume without a letter
// or on a share ("UNC\host\share\fw.bin") is a file; anything else is a device: a port ("COM9"),
// a disk ("PhysicalDrive0"), a volume ("C:", "Volume{...}") or a kernel object
// ("GLOBALROOT\Device\Serial0").
bool names_a_file_after_prefix(const std::wstring& rest)
{
    if (rest.size() > 3 && is_drive_letter(rest[0]) && rest[1] == L':' && rest[2] == L'\\') {
        return true;
    }
    return on_a_volume_without_letter(rest) || (rest.size() > 4 && same_letters(rest.substr(0, 4), L"UNC\\"));
}

// What Windows makes of the path after the device namespace prefix "\\.\": "." and ".." are
// taken out as in any path, but the root is the namespace itself, so ".." climbs over a drive
// ("C:\..\COM12" is "COM12"). Empty parts (doubled separators) go as well.
std::wstring resolved_in_namespace(const std::wstring& rest)
{
    std::vector<std::wstring> parts;
    for (std::size_t start = 0; start <= rest.size();) {
        const std::size_t end = std::min(rest.find(L'\\', start), rest.size());
        const std::wstring part = rest.substr(start, end - start);
        if (part == L"..") {
            if (!parts.empty()) {
                parts.pop_back();
            }
        } else if (!part.empty() && part != L".") {
            parts.push_back(part);
        }
        start = end + 1;
    }
    std::wstring joined;
    for (const std::wstring& part : parts) {
        joined += (joined.empty() ? L"" : L"\\") + part;
    }
    return joined;
}

} // namespace

bool names_a_windows_device(const std::wstring& path)
{
    std::wstring name = path;
    std::replace(name.begin(), name.end(), L'/', L'\\'); // the file functions take either
    if (name.compare(0, 4, L"\\\\.\\") == 0 && !names_a_file_after_prefix(resolved_in_namespace(name.substr(4)))) {
        return true;
    }
    // Taken literally, as Windows takes them: no part of such a path is read as a reserved name, so
    // that "\\?\C:\t\com1.bin" is the file of that name on the drive.
    for (const wchar_t* prefix : {L"\\\\?\\", L"\\??\\"}) {
        if (name.compare(0, 4, prefix) == 0) {
            return !names_a_file_after_prefix(name.substr(4));
        }
    }
    // Trailing dots and blanks are dropped from a name before it is looked up ("COM1 .").
    name.erase(name.find_last_not_of(L". ") + 1);
    const std::size_t last_separator = name.find_last_of(L'\\');
    std::size_t part_start = last_separator == std::wstring::npos ? 0 : last_separator + 1;
    // "C:COM1" names COM1 in the drive's current folder.
    if (part_start == 0 && name.size() >= 2 && is_drive_letter(name[0]) && name[1] == L':') {
        part_start = 2;
    }
    return reserved_part(name.substr(part_start));
}
