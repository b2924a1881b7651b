#include "serial/line_catalogue_linux.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <string_view>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>
#include <utility>

#include "common/process_scan_linux.h"

namespace {

constexpr char REASON_NO_UART[] = "no UART behind this port, only a placeholder of the 8250 driver";
constexpr char REASON_LINKED[] = "COM ports linked in that folder:";
constexpr char REASON_LINES[] = "serial lines here:";
constexpr char REASON_NO_LINE[] = "no serial line was found";
constexpr char REASON_CONSOLE[] = "the system console, not a line to flash through:";
constexpr char REASON_HOW_TO_REACH[] =
    "to reach a line as COM%d, link it as com%d in the folder that TARVOLO_COM_DIR names";
constexpr char REASON_SEE_MAN[] = "(man tarvolo_updater, COM PORTS ON LINUX)";

// The serial core's port types an operator may know a chip by; the rest are told by their driver.
constexpr const char* UART_NAMES[] = {nullptr, "8250 UART", "16450 UART", "16550 UART", "16550A UART"};

// A sysfs attribute without its line end; empty when there is none.
std::string attribute(const std::string& path)
{
    std::string text = start_of_file(AT_FDCWD, path.c_str());
    while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) {
        text.pop_back();
    }
    return text;
}

std::string last_part(const std::string& path) { return path.substr(path.find_last_of('/') + 1); }

std::string parent_of(const std::string& path) { return path.substr(0, path.find_last_of('/')); }

// The names in `dir`, or none when it cannot be read.
std::vector<std::string> names_in(const std::string& dir)
{
    std::vector<std::string> names;
    DIR* folder = ::opendir(dir.c_str());
    if (folder == nullptr) {
        return names;
    }
    while (const dirent* entry = ::readdir(folder)) {
        if (entry->d_name[0] != '.') {
            names.emplace_back(entry->d_name);
        }
    }
    (void)::closedir(folder); // read only: nothing is lost
    return names;
}

// The number that ends a name ("ttyS12": 12), -1 without one.
long trailing_number(const std::string& name)
{
    const std::size_t digits = name.find_last_not_of("0123456789") + 1;
    return digits < name.size() ? std::strtol(name.c_str() + digits, nullptr, 10) : -1;
}

// ttyS2 before ttyS10, as an operator counts them.
bool in_name_order(const std::string& a, const std::string& b)
{
    const std::string_view stem_a(a.data(), a.find_last_not_of("0123456789") + 1);
    const std::string_view stem_b(b.data(), b.find_last_not_of("0123456789") + 1);
    if (stem_a != stem_b) {
        return stem_a < stem_b;
    }
    return trailing_number(a) < trailing_number(b);
}

// The adapter's own name as its USB descriptors give it, its maker first unless the name already
// starts with it; empty for a line that is not on USB or whose adapter has no product string.
std::string usb_product(const std::string& device_dir, const std::string& sys_top)
{
    // The interface and the usb-serial port sit below the USB device, the one with a vendor id.
    for (std::string dir = device_dir; dir.size() > sys_top.size(); dir = parent_of(dir)) {
        if (::access((dir + "/idVendor").c_str(), F_OK) != 0) {
            continue;
        }
        std::string product = attribute(dir + "/product");
        std::string maker = attribute(dir + "/manufacturer");
        if (product.empty() || maker.empty() || product.compare(0, maker.size(), maker) == 0) {
            return product;
        }
        return maker.append(" ").append(product);
    }
    return {};
}

// What the line `name` is, or empty when nothing is behind it.
std::string what_line_is(
    const line_roots& roots, const std::string& name, const std::string& sys_top, const std::vector<std::string>& by_id)
{
    const std::string entry = roots.sys + "/class/tty/" + name;
    std::string device = real_path(entry + "/device");
    // Virtual consoles and pseudo-terminals have no device; a placeholder has one, but no UART.
    const std::string type = attribute(entry + "/type");
    if (device.empty() || type == "0") {
        return {};
    }
    // Newer kernels hang a serial-core port below a "port" and a "ctrl" device of their own bus;
    // the hardware and its driver are above them.
    while (last_part(link_target(device + "/subsystem")) == "serial-base") {
        device = parent_of(device);
    }
    std::string what = usb_product(device, sys_top);
    if (what.empty()) {
        const long uart = type.empty() ? -1 : std::strtol(type.c_str(), nullptr, 10);
        const bool named = uart > 0 && uart < static_cast<long>(std::size(UART_NAMES));
        const std::string driver = last_part(link_target(device + "/driver"));
        what = named ? std::string(UART_NAMES[uart]) + (driver.empty() ? "" : ", " + driver) : driver;
    }
    // udev's names for a USB adapter stay the same whichever order it was plugged in.
    for (const std::string& link : by_id) {
        if (last_part(link_target(roots.dev + "/serial/by-id/" + link)) == name) {
            what += (what.empty() ? "" : ", ") + roots.dev + "/serial/by-id/" + link;
        }
    }
    return what.empty() ? "a serial line" : what;
}

// The COM ports linked in `com_dir` besides `own` (the one the reason is about), by number:
// "com7 (/dev/ttyUSB0)".
std::vector<std::string> linked_ports(const char* com_dir, const std::string& own)
{
    std::vector<std::string> names = names_in(com_dir);
    names.erase(std::remove_if(names.begin(), names.end(),
                    [&own](const std::string& name) {
                        return name == own || name.size() <= 3 || name.compare(0, 3, "com") != 0 ||
                            name.find_first_not_of("0123456789", 3) != std::string::npos;
                    }),
        names.end());
    std::sort(names.begin(), names.end(), in_name_order);
    for (std::string& name : names) {
        const std::string target = link_target(std::string(com_dir) + "/" + name);
        if (!target.empty()) {
            name += " (" + target + ")";
        }
    }
    return names;
}

std::string listed(const char* heading, const std::vector<std::string>& items)
{
    std::string text = std::string("; ") + heading;
    for (std::size_t i = 0; i < items.size(); ++i) {
        text += (i == 0 ? " " : ", ") + items[i];
    }
    return text;
}

// The device numbers ("4:64") of the terminals that /proc/consoles lists: each line ends with one.
std::vector<std::string> console_devices(const line_roots& roots)
{
    std::vector<std::string> devices;
    const std::string text = start_of_file(AT_FDCWD, (roots.proc + "/consoles").c_str());
    std::size_t at = 0;
    while (at < text.size()) {
        const std::size_t line_end = std::min(text.find('\n', at), text.size());
        const std::size_t last = text.find_last_of(' ', line_end - 1);
        if (last != std::string::npos && last >= at && last + 1 < line_end) {
            devices.push_back(text.substr(last + 1, line_end - last - 1));
        }
        at = line_end + 1;
    }
    return devices;
}

} // namespace

std::vector<serial_line> serial_lines(const line_roots& roots)
{
    const std::string sys_top = real_path(roots.sys);
    const std::vector<std::string> by_id = names_in(roots.dev + "/serial/by-id");
    const std::vector<std::string> consoles = console_devices(roots);
    std::vector<std::string> names = names_in(roots.sys + "/class/tty");
    std::sort(names.begin(), names.end(), in_name_order);
    std::vector<serial_line> lines;
    for (const std::string& name : names) {
        std::string what = what_line_is(roots, name, sys_top, by_id);
        if (!what.empty()) {
            // The kernel's messages go out there, and a login often waits on it: flashing through
            // it would mix the two with the frames.
            const std::string device = attribute(roots.sys + "/class/tty/" + name + "/dev");
            const bool console = std::find(consoles.begin(), consoles.end(), device) != consoles.end();
            lines.push_back({roots.dev + "/" + name, std::move(what), console});
        }
    }
    return lines;
}

bool is_placeholder_port(const line_roots& roots, dev_t device)
{
    const std::string entry =
        roots.sys + "/dev/char/" + std::to_string(major(device)) + ":" + std::to_string(minor(device));
    return attribute(entry + "/type") == "0";
}

bool names_no_line(int error)
{
    return error == ENOENT || error == ENOTDIR || error == ENXIO || error == ENODEV || error == EIO;
}

std::string where_the_lines_are(const line_roots& roots, const std::string& path, const char* com_dir, int num_comport)
{
    std::string text;
    if (com_dir != nullptr && com_dir[0] != '\0') {
        const std::vector<std::string> linked = linked_ports(com_dir, last_part(path));
        if (!linked.empty()) {
            text += listed(REASON_LINKED, linked);
        }
    }
    std::vector<std::string> lines;
    std::vector<std::string> consoles;
    for (const serial_line& line : serial_lines(roots)) {
        std::string shown = line.device + " (" + line.what + ")";
        if (line.console) {
            consoles.push_back(std::move(shown));
        } else {
            lines.push_back(std::move(shown));
        }
    }
    text += lines.empty() ? std::string("; ") + REASON_NO_LINE : listed(REASON_LINES, lines);
    if (!consoles.empty()) {
        text += listed(REASON_CONSOLE, consoles);
    }
    if (num_comport > 0) {
        char how[160];
        // Fits: the number has at most 3 digits.
        (void)std::snprintf(how, sizeof how, REASON_HOW_TO_REACH, num_comport, num_comport);
        text += std::string("; ") + how;
    }
    return text + " " + REASON_SEE_MAN;
}

refusal placeholder_reason(const line_roots& roots, const std::string& path, const char* com_dir, int num_comport)
{
    struct stat found { };
    const char* name = path.c_str();
    if (::stat(name, &found) != 0 || !S_ISCHR(found.st_mode) || !is_placeholder_port(roots, found.st_rdev)) {
        return refusal();
    }
    return refusal(REASON_NO_UART + where_the_lines_are(roots, path, com_dir, num_comport));
}
