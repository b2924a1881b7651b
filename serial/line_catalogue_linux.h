#pragma once

#include <string>
#include <sys/types.h>
#include <vector>

#include "common/refusal.h"

// The serial lines of this machine as the kernel and udev show them in the file system, for an
// operator whose COM number reached no line: Linux names a USB adapter /dev/ttyUSB0 or
// /dev/ttyACM0 and a board's UART /dev/ttyAMA0, none of which a COM number reaches unless a link
// says so. Read from sysfs and /dev/serial/by-id only: no line is ever opened, as opening one
// raises its modem lines and may reset the device behind it.

// The folders that stand for /sys, /dev and /proc: those on a running system, or a tree a test
// made.
struct line_roots {
    std::string sys = "/sys";
    std::string dev = "/dev";
    std::string proc = "/proc";
};

// A line and what it is: "/dev/ttyUSB0" and "FTDI FT232R USB UART, /dev/serial/by-id/usb-FTDI_...".
struct serial_line {
    std::string device;
    std::string what;
    bool console = false; // the kernel writes its messages there (/proc/consoles)
};

// The lines with hardware behind them (the 8250 driver's placeholders left out), in the order of
// their names, the numbers counted as numbers.
std::vector<serial_line> serial_lines(const line_roots& roots);

// Whether the character device `device` is a port of the serial core behind which no UART was
// found: the 8250 driver keeps /dev/ttyS0 to ttyS3 on a PC that has none.
bool is_placeholder_port(const line_roots& roots, dev_t device);

// Whether the system's `error` on opening a port says that no line is there at all.
bool names_no_line(int error);

// What follows the reason when COM port `num_comport` (its device `path`: TARVOLO_COM_DIR's comN,
// or /dev/ttySm) reached no line: the COM ports linked in `com_dir`, the lines that exist, the
// system console apart from them, and how to reach a line as this COM number (none for 0: a
// device opened by its path); each part begins with "; ".
std::string where_the_lines_are(const line_roots& roots, const std::string& path, const char* com_dir, int num_comport);

// Refused when the device of COM port `path` is a placeholder, with the lines that exist; nothing
// for any other device.
refusal placeholder_reason(const line_roots& roots, const std::string& path, const char* com_dir, int num_comport);
