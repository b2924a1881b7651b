#pragma once

// <windows.h> without the parts this program never uses, and without its min and max macros,
// which would break the standard library's std::min and std::max.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
