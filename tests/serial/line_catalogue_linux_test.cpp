#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <string>
#include <sys/sysmacros.h>

#include "serial/line_catalogue_linux.h"
#include "support/expected_text.h"
#include "support/temp_dir.h"
#include "support/text.h"

namespace {

namespace fs = std::filesystem;

// A /sys and a /dev as a kernel and udev lay them out, built in a folder of its own; "ROOT" in a
// path stands for that folder.
struct fake_machine {
    temp_dir root;
    line_roots roots{root.path + "/sys", root.path + "/dev", root.path + "/proc"};

    std::string at(const std::string& path) const { return root.path + "/" + path; }
    void file(const std::string& path, const std::string& text) const
    {
        fs::create_directories(fs::path(at(path)).parent_path());
        (void)root.write_file(path, text + "\n");
    }
    void link(const std::string& path, const std::string& target) const
    {
        fs::create_directories(fs::path(at(path)).parent_path());
        fs::create_symlink(target, at(path));
    }
    // The terminal `name`, its device at `device` below sys/devices bound to `driver`; a port of
    // the serial core has a `type`.
    void tty(const std::string& name, const std::string& device, const std::string& driver,
        const std::string& type = "") const
    {
        fs::create_directories(at("sys/devices/" + device));
        link("sys/class/tty/" + name + "/device", at("sys/devices/" + device));
        link("sys/devices/" + device + "/driver", at("sys/bus/x/drivers/" + driver));
        if (!type.empty()) {
            file("sys/class/tty/" + name + "/type", type);
        }
    }
    // A USB device at `dir` below sys/devices, with its descriptors' strings where given.
    void usb(const std::string& dir, const std::string& maker, const std::string& product) const
    {
        file("sys/devices/" + dir + "/idVendor", "0403");
        if (!maker.empty()) {
            file("sys/devices/" + dir + "/manufacturer", maker);
        }
        if (!product.empty()) {
            file("sys/devices/" + dir + "/product", product);
        }
    }
};

std::string in(const fake_machine& m, const std::string& text) { return filled(text, {{"ROOT", m.root.path}}); }

struct catalogue_row {
    const char* what;
    std::function<void(const fake_machine&)> make;
    const char* path; // the COM port's device
    const char* com_dir; // below ROOT, or none
    const char* told; // the rest of the reason line, up to how to reach a line as COM `com`
    int com = 0; // the COM number typed; 0: a device opened by its path
};

// The root hub above every adapter has a product of its own, which is not the adapter's.
const char* const HUB = "pci0000:00/usb1";

TEST(LineCatalogue, NamesEachLineWithWhatItIsAndHowToReachIt)
{
    const catalogue_row rows[] = {
        {"an FTDI adapter with its by-id link",
            [](const fake_machine& m) {
                m.usb(HUB, "Linux Foundation", "xHCI Host Controller");
                m.usb(std::string(HUB) + "/1-1", "FTDI", "FT232R USB UART");
                m.tty("ttyUSB0", std::string(HUB) + "/1-1/1-1:1.0/ttyUSB0", "ftdi_sio");
                m.link("dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A1-if00-port0", "../../ttyUSB0");
            },
            "/dev/ttyS6", nullptr,
            "; serial lines here: ROOT/dev/ttyUSB0 (FTDI FT232R USB UART, "
            "ROOT/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A1-if00-port0)",
            7},
        {"a CDC-ACM adapter without a product string, the COM ports linked",
            [](const fake_machine& m) {
                m.usb(HUB, "Linux Foundation", "xHCI Host Controller");
                m.usb(std::string(HUB) + "/1-2", "", "");
                m.tty("ttyACM0", std::string(HUB) + "/1-2/1-2:1.0", "cdc_acm");
                m.link("ports/com12", "/dev/ttyUSB3");
                m.link("ports/com7", "/dev/ttyACM0");
                m.file("ports/notes", "");
            },
            "ROOT/ports/com8", "ports",
            "; COM ports linked in that folder: com7 (/dev/ttyACM0), com12 (/dev/ttyUSB3); serial lines here: "
            "ROOT/dev/ttyACM0 (cdc_acm)",
            8},
        {"the 8250 driver's placeholder left out, ports counted by number",
            [](const fake_machine& m) {
                m.tty("ttyS0", "pnp0/00:01", "serial", "4");
                m.tty("ttyS1", "platform/serial8250", "serial8250", "0");
                m.tty("ttyS10", "pci0000:00/0000:00:1f.0", "exar_serial", "4");
                m.tty("ttyS4", "pci0000:00/0000:00:1e.0", "exar_serial", "2");
            },
            "/dev/ttyS1", nullptr,
            "; serial lines here: ROOT/dev/ttyS0 (16550A UART, serial), ROOT/dev/ttyS4 (16450 UART, exar_serial), "
            "ROOT/dev/ttyS10 (16550A UART, exar_serial)",
            2},
        {"a newer kernel's serial-core port below its own bus",
            [](const fake_machine& m) {
                const std::string board = "platform/9000000.pl011";
                m.tty("ttyAMA0", board + "/ctrl/port", "port", "32");
                m.link("sys/devices/" + board + "/ctrl/port/subsystem", m.at("sys/bus/serial-base"));
                m.link("sys/devices/" + board + "/ctrl/subsystem", m.at("sys/bus/serial-base"));
                m.link("sys/devices/" + board + "/driver", m.at("sys/bus/amba/drivers/uart-pl011"));
            },
            "/dev/ttyS0", nullptr, "; serial lines here: ROOT/dev/ttyAMA0 (uart-pl011)", 1},
        // A board whose kernel writes to its first UART: following the advice would flash
        // through the kernel's console.
        {"the system console apart from the lines to link",
            [](const fake_machine& m) {
                m.tty("ttyS0", "pnp0/00:01", "serial", "4");
                m.file("sys/class/tty/ttyS0/dev", "4:64");
                m.tty("ttyS1", "pnp0/00:02", "serial", "4");
                m.file("sys/class/tty/ttyS1/dev", "4:65");
                m.file("proc/consoles",
                    "tty0                 -WU (E  p  )    4:1\nttyS0                -W- (EC p a)    4:64");
            },
            "/dev/ttyS3", nullptr,
            "; serial lines here: ROOT/dev/ttyS1 (16550A UART, serial); the system console, not a line to flash "
            "through: ROOT/dev/ttyS0 (16550A UART, serial)",
            4},
        {"the console the only line",
            [](const fake_machine& m) {
                m.tty("ttyAMA0", "platform/9000000.pl011", "uart-pl011", "32");
                m.file("sys/class/tty/ttyAMA0/dev", "204:64");
                m.file("proc/consoles", "ttyAMA0              -W- (EC p a)  204:64");
            },
            "/dev/ttyS1", nullptr,
            "; no serial line was found; the system console, not a line to flash through: ROOT/dev/ttyAMA0 "
            "(uart-pl011)",
            2},
        {"no line at all, a name that is no COM number's",
            [](const fake_machine& m) {
                m.file("sys/class/tty/tty0/dev", "4:0");
                m.file("sys/class/tty/console/dev", "5:1");
            },
            "/dev/ttyUSB0", nullptr, "; no serial line was found"},
    };
    for (const catalogue_row& row : rows) {
        SCOPED_TRACE(row.what);
        const fake_machine m;
        row.make(m);
        const std::string com_dir = row.com_dir == nullptr ? "" : m.at(row.com_dir);
        EXPECT_EQ(
            where_the_lines_are(m.roots, in(m, row.path), row.com_dir == nullptr ? nullptr : com_dir.c_str(), row.com),
            in(m, row.told) + (row.com == 0 ? "" : "; " + expected::how_to_reach(row.com)) + expected::see_man);
    }
}

TEST(LineCatalogue, TellsAPlaceholderByItsTypeOnly)
{
    const fake_machine m;
    m.file("sys/dev/char/4:65/type", "0");
    m.file("sys/dev/char/4:64/type", "4");
    m.file("sys/dev/char/166:0/dev", "166:0"); // a CDC-ACM line has no type at all
    EXPECT_TRUE(is_placeholder_port(m.roots, makedev(4, 65)));
    EXPECT_FALSE(is_placeholder_port(m.roots, makedev(4, 64)));
    EXPECT_FALSE(is_placeholder_port(m.roots, makedev(166, 0)));
}

} // namespace
