#pragma once

#include <string>

// Whether a path, as the Windows file functions would read it, stands for a device rather than a
// file: a name that Windows reserves for a device (CON, PRN, AUX, NUL, COM0 to COM9, LPT0 to LPT9
// and the forms with a superscript digit, CONIN$, CONOUT$) as its last part, in any case, with
// or without an extension, trailing dots or blanks; or a path in the device namespace (\\.\,
// \\?\, \??\) that does not name a file on a drive or a share. Portable, so that every build
// tests it; only the Windows build asks it.
bool names_a_windows_device(const std::wstring& path);
