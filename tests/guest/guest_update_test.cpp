// The real updater in a Linux guest under QEMU, on the kernel's own serial drivers (8250 for a
// 16550 UART, ftdi_sio for an FTDI USB adapter, amba-pl011 for the ARM boards' UART), against
// the loader emulator on the host. The arm64 and armhf guests run their own builds of the updater.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <string>
#include <utility>
#include <vector>

#include "guest/guest_machine.h"
#include "guest/initramfs.h"
#include "support/emulator.h"
#include "support/expected_text.h"
#include "support/row_builder.h"
#include "support/temp_dir.h"

namespace {

using namespace std::chrono_literals;
using steady = std::chrono::steady_clock;

// What the program writes before the update proper, having opened COM`port` and loaded the image.
std::string before_update(int port)
{
    return expected::banner + expected::port_question + "\n\r" + expected::port_opened(port) + expected::file_question +
        "\n" + expected::loaded() + expected::start_prompt;
}

std::string run_output(int port, const std::string& update)
{
    return before_update(port) + update + expected::exit_prompt;
}

// What the program writes when it refuses COM`port`, the line `device`, for `reason`.
std::string refused_output(int port, const std::string& device, const std::string& reason)
{
    return expected::banner + expected::port_question + "\n\r" + expected::port_unavailable(port) +
        "tarvolo_updater: " + device + ": " + reason + "\n" + expected::exit_prompt;
}

const std::string to_pages = expected::erasing + expected::erased + expected::writing;
const std::string complete = to_pages + expected::progress(120) + expected::success;

// The adapter pulled out while page `page` (or a later one) was on its way: the reply that never
// comes is either the page header's or the page data's, and the status shown is the last good one.
std::vector<std::string> unplugged_after(int port, int page)
{
    std::vector<std::string> outputs;
    for (int p = page; p < 120; ++p) {
        char index[12]; // room for any int, so that the compiler can see nothing is cut
        (void)std::snprintf(index, sizeof index, "%03d", p);
        const std::string progress = to_pages + expected::progress(p + 1);
        outputs.push_back(run_output(port, progress + expected::header_refused(index, "00")));
        outputs.push_back(run_output(port, progress + expected::page_refused("00")));
    }
    return outputs;
}

// A case: its name, port and script, then what sets it apart, given by name. A PL011 case runs on
// the ARM boards, any other on the PC, and on the ARM boards as well when on_arm.
struct guest_case : row_builder<guest_case> {
    std::string name;
    adapter device;
    std::string script; // the guest's part, run with the helpers of init.sh
    std::vector<std::pair<std::string, std::string>> wanted = {}; // reports the guest must make, exactly
    // Each run of the updater, and the console outputs it may write: exactly one of these.
    std::vector<std::pair<std::string, std::vector<std::string>>> runs = {};
    bool image_received = false;
    std::vector<std::string> emulator_args = {};
    int erase_ms = 200;
    int unplug_after_page = -1; // the page whose data reply the emulator has sent before the unplug
    std::string latency_run = {}; // the run during which the adapter's latency timer is sampled
    std::chrono::seconds limit = 150s; // from QEMU's start to the guest's last report
    bool on_arm = false;
    guest_arch arch = guest_arch::amd64; // the guest it runs on this time
    long to_device = -1; // the bytes the emulator must have received, -1: not checked

    // Reports besides each run's status.
    guest_case& reports(const std::vector<std::pair<std::string, std::string>>& more)
    {
        wanted.insert(wanted.end(), more.begin(), more.end());
        return *this;
    }
    // The run `run` updates the device on COM`port`, which then has the image.
    guest_case& completes(const std::string& run, int port)
    {
        return set(image_received, true).ended(run, "0", {run_output(port, complete)});
    }
    // The run `run` is refused COM`port`, shown as `line`, for `reason`.
    guest_case& refused(const std::string& run, int port, const std::string& line, const std::string& reason)
    {
        return ended(run, "1", {refused_output(port, line, reason)});
    }
    // The port taken away once the emulator has sent page `page`'s data reply; paced, so that this
    // meets the transfer in full flow.
    guest_case& gone_after_page(const std::string& run, int port, int page)
    {
        return set(unplug_after_page, page).paced().ended(run, "1", unplugged_after(port, page));
    }
    // The emulator at 115200 baud, as slow as the real line.
    guest_case& paced() { return set(emulator_args, {"--baud", "115200"}); }
    // With a one-second erase, which gives the sampler time within the update.
    guest_case& latency_sampled_in(std::string run) { return set(erase_ms, 1000).set(latency_run, std::move(run)); }
    guest_case& within(std::chrono::seconds s) { return set(limit, s); }
    guest_case& nothing_to_device() { return set(to_device, 0L); }
    guest_case& also_on_arm() { return set(on_arm, true); }

private:
    guest_case& ended(const std::string& run, const char* status, std::vector<std::string> outputs)
    {
        wanted.emplace_back(run + ".status", status);
        runs.emplace_back(run, std::move(outputs));
        return *this;
    }
};

// What makes $line COM`port`: a link in the folder the updater is told to use.
std::string linked_as(int port)
{
    return "mkdir /tmp/ports\nln -s $line /tmp/ports/com" + std::to_string(port) +
        "\nexport TARVOLO_COM_DIR=/tmp/ports\n";
}

// A port as the updater finds it: the board's own UART (the second 16550 as COM2 on a PC, the
// PL011 linked as COM1 on the ARM boards) or a USB one linked as COM7. Its cases' scripts start by
// naming it $line and its COM number $port.
struct serial_port {
    const char* kind; // the start of its cases' names
    adapter device;
    std::string tty; // its name under /dev
    int port;
    std::string linked; // what makes it COM`port`, when its name does not
    std::string shown; // its name in the updater's reasons

    guest_case case_on(const std::string& what, const std::string& script) const
    {
        return {{}, std::string(kind) + "_" + what, device,
            "line=/dev/" + tty + " port=" + std::to_string(port) + "\n" + linked + script};
    }
};
const serial_port PC_UART = {"uart", adapter::uart_16550, "ttyS1", 2, "", "/dev/ttyS1"};
const serial_port ARM_UART = {"pl011", adapter::pl011, "ttyAMA0", 1, linked_as(1), "/tmp/ports/com1"};
const serial_port FTDI = {"ftdi", adapter::ftdi, "ttyUSB0", 7, "wait_for $line\n" + linked_as(7), "/tmp/ports/com7"};
// Its gadget's script links it (init.sh).
const serial_port ACM = {"acm", adapter::acm, "ttyACM0", 7, "acm_gadget\n", "/tmp/ports/com7"};

// A case on `uart` whose one run, `run`, is refused for `reason` before the line is touched:
// nothing may reach the device.
guest_case refused_on(const serial_port& uart, const std::string& what, const std::string& script,
    const std::string& run, const std::string& reason)
{
    return uart.case_on(what, script).refused(run, uart.port, uart.shown, reason).nothing_to_device();
}

// An update through `p`, left at 9600 baud first so that the speed found afterwards is the
// updater's.
guest_case speed_set_through(const serial_port& p, const std::string& what)
{
    const std::string run = p.kind;
    return p.case_on(what, "stty -F $line 9600\nupdate " + run + " $port\nspeed " + run + " $line\n")
        .reports({{run + ".speed", "115200"}})
        .completes(run, p.port);
}

const std::string PC_CONSOLE = "the system console, not a line to flash through: /dev/ttyS0 (16550A UART, serial)";

// The operator types `typed`, a COM number that reaches no line in `p`'s guest: the reason must
// name `p`'s line among the lines there are (`lines`), and how to reach it as that number.
guest_case wrong_number_on(const serial_port& p, int typed, const std::string& why, const std::string& lines)
{
    const std::string com = std::to_string(typed);
    const std::string device =
        p.linked.empty() && p.device != adapter::acm ? "/dev/ttyS" + std::to_string(typed - 1) : "/tmp/ports/com" + com;
    return p.case_on("named_by_a_wrong_number", "update wrong " + com + "\n")
        .refused("wrong", typed, device, why + "; " + lines + "; " + expected::how_to_reach(com) + expected::see_man)
        .nothing_to_device();
}

std::ostream& operator<<(std::ostream& out, const guest_case& c) { return out << c.name; }

std::string case_name(const ::testing::TestParamInfo<guest_case>& param) { return param.param.name; }

const char* const USERS = "root:x:0:0:root:/root:/bin/sh\n"
                          "visitor:x:1001:1001:visitor:/tmp:/bin/sh\n"
                          "operator:x:1002:1002:operator:/tmp:/bin/sh\n";
const char* const GROUPS = "root:x:0:\n"
                           "dialout:x:20:operator\n"
                           "visitor:x:1001:\n"
                           "operator:x:1002:\n";

void write_initramfs(const std::string& path, const guest_case& c, const std::string& image)
{
    const guest_kernel kernel = find_guest_kernel(c.arch);
    initramfs_writer out(path);
    for (const char* dir : {"bin", "dev", "etc", "home", "lib", "lib/modules", "proc", "root", "sys"}) {
        out.directory(dir);
    }
    out.directory("tmp", 01777);
    // The kernel opens the console for the first process before anything is mounted.
    out.char_device("dev/console", 5, 1, 0600);
    out.file("bin/busybox", file_contents(find_static_busybox(c.arch)), 0755);
    out.file("bin/tarvolo_updater", file_contents(record_of(c.arch).updater), 0755);
    out.file("home/fw.bin", image, 0644);
    out.file("etc/passwd", USERS);
    out.file("etc/group", GROUPS);
    std::string load_order;
    std::vector<std::string> wanted = {"xhci-pci", "ftdi_sio"};
    if (c.device == adapter::acm) {
        wanted.insert(wanted.end(), {"configfs", "dummy_hcd", "usb_f_acm", "cdc-acm"});
    }
    if (!record_of(c.arch).pc) {
        wanted.insert(wanted.end(), {"virtio_mmio", "virtio_console"}); // the console beside the PL011
    }
    for (const kernel_module& module : kernel.modules_for(wanted)) {
        out.file("lib/modules/" + module.name, module.contents);
        load_order += module.name + "\n";
    }
    out.file("lib/modules/load-order", load_order);
    out.file("init", file_contents(TARVOLO_GUEST_INIT_PATH), 0755);
    out.file("case.sh", c.script);
    out.finish();
}

std::string base64_decoded(const std::string& text)
{
    const std::string alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    unsigned bits = 0;
    int count = 0;
    for (const char c : text) {
        const auto value = alphabet.find(c);
        if (value == std::string::npos) {
            continue; // padding
        }
        bits = (bits << 6) | static_cast<unsigned>(value);
        count += 6;
        if (count >= 8) {
            count -= 8;
            out += static_cast<char>((bits >> count) & 0xFF);
        }
    }
    return out;
}

double seconds(steady::duration d) { return std::chrono::duration<double>(d).count(); }

// `text` with each "{KEY}" replaced by the value of the guest's report KEY: what only the guest
// knows, such as the PID of a program it started.
std::string filled_in(std::string text, const guest_machine& guest)
{
    for (std::size_t open = text.find('{'); open != std::string::npos; open = text.find('{', open + 1)) {
        const std::size_t close = text.find('}', open);
        const auto report =
            close == std::string::npos ? std::nullopt : guest.report(text.substr(open + 1, close - open - 1));
        if (report) {
            text.replace(open, close - open + 1, report->value);
        }
    }
    return text;
}

// Waits until the emulator's transcript shows `text`; false if the run `run` ends first.
bool transcript_shows(const std::string& transcript, const std::string& text, guest_machine& guest,
    const std::string& run, std::chrono::milliseconds limit)
{
    const auto deadline = steady::now() + limit;
    while (steady::now() < deadline) {
        if (file_contents(transcript).find(text) != std::string::npos) {
            return true;
        }
        if (guest.wait_for(run + ".end", 50ms)) {
            return false;
        }
    }
    return false;
}

// Samples "VALUE SIZE": the latency timer's value, read before the run's output had reached SIZE
// bytes and after the previous sample's size. Those taken wholly between the start of the update
// and the exit prompt must read 1 ms.
void check_latency_samples(const std::vector<guest_report>& samples, const std::string& output)
{
    const std::size_t update_began = output.find(expected::erasing);
    const std::size_t exit_prompt = output.size() - expected::exit_prompt.size();
    ASSERT_NE(update_began, std::string::npos);
    std::size_t previous_size = 0;
    std::string during_update;
    std::string all_low;
    for (const guest_report& sample : samples) {
        const auto space = sample.value.find(' ');
        ASSERT_NE(space, std::string::npos) << sample.value;
        const std::size_t size = std::stoul(sample.value.substr(space + 1));
        if (previous_size > update_began && size <= exit_prompt) {
            during_update += sample.value.substr(0, space) + " ";
            all_low += "1 ";
        }
        previous_size = size;
    }
    EXPECT_GE(all_low.size(), 2 * 5U) << "fewer than 5 samples while the update ran";
    EXPECT_EQ(during_update, all_low) << "the latency timer (ms) at each sample while the update ran";
}

class GuestUpdate : public ::testing::TestWithParam<guest_case> { };

TEST_P(GuestUpdate, Run)
{
    const guest_case& c = GetParam();
    temp_dir work;
    const std::string image = sample_image(8);

    loader_emulator::settings s;
    s.com_dir = work.path;
    s.port = 1;
    s.erase_ms = c.erase_ms;
    s.extra_args = c.emulator_args;
    loader_emulator device(s, work.path);

    const std::string initramfs = work.path + "/initramfs.cpio";
    write_initramfs(initramfs, c, image);
    const std::string line = std::filesystem::read_symlink(work.path + "/com1").string();
    const std::string kernel = boot_image(find_guest_kernel(c.arch), c.arch, TARVOLO_GUEST_KERNEL_CACHE);
    guest_machine guest({c.arch, kernel, initramfs, c.device, line, work.path});
    // Every wait of the case shares one limit, which the CTest timeout leaves room for.
    const auto deadline = guest.started + c.limit;
    const auto left = [&] { return std::chrono::duration_cast<std::chrono::milliseconds>(deadline - steady::now()); };
    ASSERT_TRUE(guest.wait_for("up", left())) << "the guest did not boot:\n" << guest.console;
    const double boot_s = seconds(guest.report("up")->at - guest.started);

    if (c.device == adapter::ftdi && c.unplug_after_page >= 0) {
        const std::string run = c.runs.front().first;
        const std::string page_passed = "(data reply " + std::to_string(c.unplug_after_page) + ",";
        ASSERT_TRUE(transcript_shows(device.transcript, page_passed, guest, run, left()))
            << file_contents(device.transcript) << guest.console;
        const auto unplugged = steady::now();
        guest.unplug_adapter();
        ASSERT_TRUE(guest.wait_for(run + ".end", left())) << guest.console;
        const double ended_s = seconds(guest.report(run + ".end")->at - unplugged);
        std::cout << "[ guest    ] the updater ended " << ended_s << " s after the unplug\n";
        EXPECT_LT(ended_s, 3.0) << "the updater must give up soon after its adapter is gone";
    }

    const bool done = guest.wait_for("done", left());
    const double case_s = seconds(steady::now() - guest.started);
    EXPECT_EQ(guest.finish(30s), 0) << "QEMU did not end by itself";
    const int device_status = device.finish();
    std::cout << "[ guest    ] boot " << boot_s << " s, whole case " << case_s << " s\n";
    if (const char* keep = std::getenv("TARVOLO_GUEST_KEEP_DIR")) {
        std::filesystem::copy_file(device.transcript, std::string(keep) + "/transcript.txt",
            std::filesystem::copy_options::overwrite_existing);
        std::ofstream(std::string(keep) + "/console.log") << guest.console;
    }
    ASSERT_TRUE(done) << "the guest did not finish the case:\n" << guest.console;
    EXPECT_FALSE(guest.report("insmod-failed")) << guest.console;
    EXPECT_FALSE(guest.report("missing")) << guest.console;
    if (c.device == adapter::acm && c.unplug_after_page >= 0) {
        // The guest pulls the gadget itself, on the console's progress line (guest uptimes).
        const std::string run = c.runs.front().first;
        const auto unbound = guest.report("unbound");
        const auto ended = guest.report(run + ".end");
        ASSERT_TRUE(unbound && ended) << guest.console;
        const double ended_s = std::stod(ended->value) - std::stod(unbound->value);
        std::cout << "[ guest    ] the updater ended " << ended_s << " s after the unbind\n";
        EXPECT_LT(ended_s, 3.0) << "the updater must give up soon after its port is gone";
    }

    for (const auto& [key, value] : c.wanted) {
        const auto got = guest.report(key);
        ASSERT_TRUE(got) << "no report " << key << ":\n" << guest.console;
        EXPECT_EQ(got->value, value) << key;
    }
    for (const auto& [run, outputs] : c.runs) {
        const auto report = guest.report(run + ".output");
        ASSERT_TRUE(report) << "no output of run " << run << ":\n" << guest.console;
        const std::string output = base64_decoded(report->value);
        if (outputs.size() == 1) {
            EXPECT_EQ(output, filled_in(outputs.front(), guest)) << run;
        } else {
            EXPECT_NE(std::find(outputs.begin(), outputs.end(), output), outputs.end())
                << run << " wrote " << ::testing::PrintToString(output);
        }
        if (c.latency_run == run) {
            check_latency_samples(guest.reports("latency.sample"), output);
        }
    }
    if (c.to_device >= 0) {
        EXPECT_EQ(device.bytes_received, c.to_device) << device.output;
    }
    if (c.image_received) {
        EXPECT_EQ(device_status, 0) << device.output;
        EXPECT_TRUE(file_contents(device.image_out) == image) << "the device did not receive the image";
    } else {
        EXPECT_NE(device_status, 0) << device.output;
    }
}

const guest_case cases[] = {
    // COM2 is the second UART without TARVOLO_COM_DIR.
    speed_set_through(PC_UART, "16550_as_com2").reports({{"uart.identity", "uid=0(root) gid=0(root) groups=0(root)"}}),
    speed_set_through(FTDI, "linked_as_com7"),
    FTDI.case_on("unplugged_mid_transfer", "update unplugged $port\n")
        .gone_after_page("unplugged", FTDI.port, 20)
        .also_on_arm(),
    // The UART as a distribution sets it up: only the dialout group may use it.
    PC_UART
        .case_on("for_dialout_only",
            "chown root:dialout $line\n"
            "chmod 0660 $line\n"
            "report device.access \"$(stat -c '%U:%G %a' $line)\"\n"
            "update visitor $port visitor\n"
            "update operator $port operator\n")
        .reports({{"device.access", "root:dialout 660"},
            {"visitor.identity", "uid=1001(visitor) gid=1001(visitor) groups=1001(visitor)"},
            {"operator.identity", "uid=1002(operator) gid=1002(operator) groups=20(dialout),1002(operator)"}})
        .refused("visitor", PC_UART.port, PC_UART.shown, "Permission denied")
        .completes("operator", PC_UART.port),
    // A CDC-ACM port (the USB serial class of most loaders with native USB), relayed to the UART.
    ACM.case_on("linked_as_com7", "update acm $port\n").completes("acm", ACM.port).also_on_arm(),
    // Its gadget taken off the bus mid-transfer.
    ACM.case_on("unbound_mid_transfer",
           "unbind_at_page 21 /tmp/unbound.out &\nwatcher=$!\nupdate unbound $port\nwait $watcher\n")
        .gone_after_page("unbound", ACM.port, 20)
        .also_on_arm(),
    // A login's line (a getty holds it as its session's terminal): refused before any of its
    // settings is changed, so its speed stays at the login's 9600 baud.
    refused_on(PC_UART, "held_by_a_login",
        "stty -F $line 9600\n"
        "setsid -c sleep 60 <>$line &\n"
        // Its session has the line once tty_nr in its stat is ttyS1's (major 4, minor 65).
        "tries=0\n"
        "until [ \"$(cut -d' ' -f7 /proc/$!/stat)\" = 1089 ] || [ $tries -ge 100 ]; do\n"
        "    sleep 0.05; tries=$((tries + 1)); done\n"
        "report login.tty \"$(cut -d' ' -f7 /proc/$!/stat)\"\n"
        "update login $port\n"
        "speed login $line\n",
        "login", "the terminal of a running session (a shell or a login), not a free serial port")
        .reports({{"login.tty", "1089"}, {"login.speed", "9600"}}),
    // QEMU's adapter reports a latency timer of 0 ms where a real FTDI chip comes up at 16 ms; it
    // is set to 16 first so that the value given back is told apart from one never changed.
    FTDI.case_on("low_latency",
            "timer=/sys/bus/usb-serial/devices/ttyUSB0/latency_timer\n"
            "echo 16 >$timer\n"
            "report latency.before \"$(cat $timer)\"\n"
            "sample_latency $timer /tmp/latency.out &\n"
            "sampler=$!\n"
            "update latency $port\n"
            "kill $sampler\n"
            "wait $sampler\n"
            "report latency.after \"$(cat $timer)\"\n")
        .reports({{"latency.before", "16"}, {"latency.after", "16"}})
        .completes("latency", FTDI.port)
        .latency_sampled_in("latency")
        .also_on_arm(),
    // The number Windows showed, typed where it reaches no line: the 8250 driver's placeholder
    // behind COM4 on the PC, nothing at all behind the number next to a linked adapter's. The
    // PC's first 16550 is the kernel's console (console=ttyS0): never offered as a line to link.
    wrong_number_on(PC_UART, 4, "no UART behind this port, only a placeholder of the 8250 driver",
        "serial lines here: /dev/ttyS1 (16550A UART, serial); " + PC_CONSOLE),
    wrong_number_on(FTDI, 8, "No such file or directory; COM ports linked in that folder: com7 (/dev/ttyUSB0)",
        "serial lines here: /dev/ttyUSB0 (QEMU USB SERIAL); " + PC_CONSOLE),
    wrong_number_on(ACM, 8, "No such file or directory; COM ports linked in that folder: com7 (/dev/ttyACM0)",
        "serial lines here: /dev/ttyACM0 (cdc_acm), /dev/ttyS1 (16550A UART, serial); " + PC_CONSOLE),
};

// The line under test while another program has it: a terminal program reading it, without a lock
// or a session of its own (it would take the device's replies); a UUCP lock naming a running
// program, its PID held as a binary int in /run/lock (to which /var/lock leads); and a lock whose
// program ends without taking it away: refused while it runs, then the lock is stale, the update
// goes through, and the lock file is left as it was.
std::vector<guest_case> taken_by_another_program(const serial_port& uart)
{
    const std::string locked = "locked by another program (PID {owner.pid}, sleep) in /var/lock/LCK.." + uart.tty;
    return {
        refused_on(uart, "read_by_another_program",
            "cat $line >/dev/null &\n"
            "reader=$!\n"
            "has_open $reader $line\n"
            "report reader.pid $reader\n"
            "update reader $port\n"
            "kill $reader\n",
            "reader", "held by another program (PID {reader.pid}, cat)"),
        refused_on(uart, "locked_by_a_running_program",
            "sleep 60 &\n"
            "owner=$!\n"
            "binary_pid $owner >/run/lock/LCK..${line#/dev/}\n"
            "report owner.pid $owner\n"
            "update locked $port\n"
            "kill $owner\n",
            "locked", locked),
        uart.case_on("lock_left_by_a_program_that_ended",
                "sleep 60 &\n"
                "owner=$!\n"
                "lock=/var/lock/LCK..${line#/dev/}\n"
                "printf '%10d\\n' $owner >$lock\n"
                "cp $lock /tmp/lock\n"
                "report owner.pid $owner\n"
                "update locked $port\n"
                "kill $owner\n"
                "wait $owner\n"
                "update stale $port\n"
                "cmp -s /tmp/lock $lock && report lock.after kept || report lock.after changed\n")
            .refused("locked", uart.port, uart.shown, locked)
            .completes("stale", uart.port)
            .reports({{"lock.after", "kept"}}),
    };
}

// The cases `arch` runs, those on the board's own UART first.
std::vector<guest_case> on(guest_arch arch)
{
    std::vector<guest_case> all = taken_by_another_program(ARM_UART);
    all.insert(all.begin(), speed_set_through(ARM_UART, "linked_as_com1"));
    all.push_back(
        wrong_number_on(ARM_UART, 2, "No such file or directory; COM ports linked in that folder: com1 (/dev/ttyAMA0)",
            "serial lines here: /dev/ttyAMA0 (uart-pl011)"));
    all.insert(all.end(), std::begin(cases), std::end(cases));
    const std::vector<guest_case> on_pc_uart = taken_by_another_program(PC_UART);
    all.insert(all.end(), on_pc_uart.begin(), on_pc_uart.end());
    std::vector<guest_case> chosen;
    for (guest_case& c : all) {
        const bool pl011 = c.device == adapter::pl011;
        if (arch == guest_arch::amd64 ? !pl011 : pl011 || c.on_arm) {
            c.arch = arch;
            chosen.push_back(std::move(c));
        }
    }
    return chosen;
}

INSTANTIATE_TEST_SUITE_P(Cases, GuestUpdate, ::testing::ValuesIn(on(guest_arch::amd64)), case_name);
INSTANTIATE_TEST_SUITE_P(Arm64, GuestUpdate, ::testing::ValuesIn(on(guest_arch::arm64)), case_name);
INSTANTIATE_TEST_SUITE_P(Armhf, GuestUpdate, ::testing::ValuesIn(on(guest_arch::armhf)), case_name);

// For bench/guest_timing.py, not for CTest: one complete update paced at 115200 baud through the
// FTDI driver, whose transcript the benchmark reads (TARVOLO_GUEST_KEEP_DIR).
const guest_case bench_cases[] = {
    FTDI.case_on("paced_115200", "update paced $port\n").completes("paced", FTDI.port).paced().within(240s),
};

INSTANTIATE_TEST_SUITE_P(DISABLED_Bench, GuestUpdate, ::testing::ValuesIn(bench_cases), case_name);

} // namespace
