#pragma once

#include <string>

// Which device a COM port name stands for on a POSIX system. With `com_dir` (the value of
// TARVOLO_COM_DIR) COM n is "<com_dir>/comN", the way wine names its dosdevices links, so an
// operator links com5 to /dev/ttyUSB0. Without it COM n is /dev/ttyS<n-1>, the legacy numbering.
// An empty `com_dir` counts as none, and slashes that end it are not doubled.
// Returns an empty string for a name that is not a COM port name.
std::string posix_device_path(const char* name, const char* com_dir);
