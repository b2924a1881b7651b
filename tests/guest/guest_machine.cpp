#include "guest/guest_machine.h"

#include <algorithm>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <stdexcept>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include "support/pty.h"

using namespace std::chrono_literals;
using steady = std::chrono::steady_clock;

namespace {

const std::string REPORT_MARK = "@@tarvolo ";
// Wide: QEMU's monitor waits for the emulated processor, which waits for a core of its own.
constexpr std::chrono::seconds MONITOR_ANSWER_WAIT{60};

} // namespace

guest_machine::guest_machine(const settings& s) : qmp_socket_(s.work_dir + "/qmp.sock")
{
    const guest_arch_record& arch = record_of(s.arch);
    const bool amd64 = arch.pc;
    const std::string qemu = find_in_path(arch.qemu);
    if (qemu.empty()) {
        throw missing("no QEMU for the " + std::string(arch.deb_arch) + " guest", arch.qemu_package);
    }
    // Opened here and handed over, rather than opened by QEMU: QEMU runs in a session of its own
    // (as every program the tests start), and a terminal it opened itself would become its
    // controlling terminal, whose hang-up when the emulator ends would kill QEMU with SIGHUP.
    const int line = ::open(s.device_tty.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (line < 0) {
        throw std::runtime_error("cannot open " + s.device_tty);
    }
    // The console: the first 16550 on a PC, the PL011 on the virt board, or, where the PL011 is
    // the line under test, a virtio console, which exists only once init has loaded its module
    // (init is told its name and writes there from then on).
    std::string kernel_console = amd64 ? "ttyS0" : "ttyAMA0";
    std::string init_console;
    std::vector<std::string> console_device = {"-device", "isa-serial,chardev=console,index=0"};
    if (!amd64) {
        console_device = {"-serial", "chardev:console"};
    }
    // The line under test is the board's own UART: the PL011 itself, or the one a CDC-ACM gadget
    // is relayed to.
    const bool on_pl011 = s.device == adapter::pl011 || (s.device == adapter::acm && !arch.pc);
    if (on_pl011) {
        kernel_console = "hvc0";
        init_console = " tarvolo_console=hvc0"; // passed to init in its environment
        console_device = {
            "-device", "virtio-serial-device", "-device", "virtconsole,chardev=console", "-serial", "chardev:line"};
    }
    process_options options;
    options.argv = {qemu, "-accel", "tcg", "-machine", arch.machine, "-m", "256M", "-smp", "1", "-nodefaults",
        "-no-user-config", "-display", "none", "-no-reboot", "-kernel", s.kernel_image, "-initrd", s.initramfs,
        "-append", "console=" + kernel_console + init_console + " quiet panic=-1 rdinit=/init", "-chardev",
        "stdio,id=console,signal=off", "-add-fd", "fd=" + std::to_string(line) + ",set=1", "-chardev",
        "serial,id=line,path=/dev/fdset/1", "-qmp", "unix:" + qmp_socket_ + ",server=on,wait=off"};
    if (arch.cpu != nullptr) {
        options.argv.insert(options.argv.end(), {"-cpu", arch.cpu});
    }
    options.argv.insert(options.argv.end(), console_device.begin(), console_device.end());
    if (s.device == adapter::uart_16550 || (s.device == adapter::acm && arch.pc)) {
        options.argv.insert(options.argv.end(), {"-device", "isa-serial,chardev=line,index=1"});
    } else if (s.device == adapter::ftdi) {
        // A real adapter stays plugged in when the device on its line goes quiet; without
        // always-plugged QEMU would unplug it as soon as the emulator ends.
        options.argv.insert(options.argv.end(),
            {"-device", "qemu-xhci,id=usb", "-device",
                "usb-serial,chardev=line,id=adapter,bus=usb.0,always-plugged=on"});
    }
    started = steady::now();
    qemu_ = std::make_unique<child_process>(child_process::start_detached(options));
    qemu_->close_input();
    (void)::close(line); // QEMU has its own
}

guest_machine::~guest_machine() = default; // a QEMU still running is killed with its child_process

bool guest_machine::read_console(steady::time_point deadline)
{
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - steady::now());
    pollfd waiter{qemu_->output, POLLIN, 0};
    if (::poll(&waiter, 1, static_cast<int>(std::max(left.count(), 0L))) <= 0) {
        return true;
    }
    char room[4096];
    const ssize_t n = ::read(qemu_->output, room, sizeof room);
    if (n <= 0) {
        return false;
    }
    const auto now = steady::now();
    console.append(room, static_cast<std::size_t>(n));
    partial_line_.append(room, static_cast<std::size_t>(n));
    std::size_t end = 0;
    while ((end = partial_line_.find('\n')) != std::string::npos) {
        std::string line = partial_line_.substr(0, end);
        partial_line_.erase(0, end + 1);
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        if (line.rfind(REPORT_MARK, 0) == 0) {
            const auto space = line.find(' ', REPORT_MARK.size());
            const std::string key = line.substr(REPORT_MARK.size(), space - REPORT_MARK.size());
            reports_.push_back({key, space == std::string::npos ? "" : line.substr(space + 1), now});
        }
    }
    return true;
}

bool guest_machine::wait_for(const std::string& key, std::chrono::milliseconds limit)
{
    const auto deadline = steady::now() + limit;
    while (!report(key)) {
        if (steady::now() >= deadline || !read_console(deadline)) {
            return false;
        }
    }
    return true;
}

void guest_machine::unplug_adapter()
{
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, qmp_socket_.c_str(), sizeof address.sun_path - 1);
    if (fd < 0 || ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        if (fd >= 0) {
            (void)::close(fd);
        }
        throw std::runtime_error("cannot reach QEMU's monitor at " + qmp_socket_);
    }
    // QEMU greets first and takes commands only once the capabilities are negotiated. Events may
    // come between a command and its answer, so the answer is looked for in everything read.
    std::string said = read_until(fd, "\n", 10s);
    if (said.find("QMP") == std::string::npos) {
        (void)::close(fd);
        throw std::runtime_error("QEMU's monitor did not greet: " + said);
    }
    for (const std::string command :
        {R"({"execute":"qmp_capabilities"})", R"({"execute":"device_del","arguments":{"id":"adapter"}})"}) {
        said.clear();
        (void)write_all(fd, command + "\n");
        const auto deadline = steady::now() + MONITOR_ANSWER_WAIT;
        while (said.find("\"return\"") == std::string::npos && said.find("\"error\"") == std::string::npos &&
            steady::now() < deadline) {
            said += read_until(fd, "\n", 1s);
        }
        if (said.find("\"return\"") == std::string::npos) {
            (void)::close(fd);
            throw std::runtime_error(said.empty()
                    ? "QEMU did not answer " + command + " within " + std::to_string(MONITOR_ANSWER_WAIT.count()) + " s"
                    : "QEMU refused " + command + ": " + said);
        }
    }
    (void)::close(fd);
}

int guest_machine::finish(std::chrono::milliseconds limit)
{
    if (!qemu_) {
        return status_;
    }
    const auto deadline = steady::now() + limit;
    while (steady::now() < deadline && read_console(deadline)) { }
    status_ = qemu_->wait(1s);
    qemu_.reset();
    return status_;
}

std::optional<guest_report> guest_machine::report(const std::string& key) const
{
    const auto found =
        std::find_if(reports_.rbegin(), reports_.rend(), [&](const guest_report& r) { return r.key == key; });
    return found == reports_.rend() ? std::nullopt : std::optional<guest_report>(*found);
}

std::vector<guest_report> guest_machine::reports(const std::string& key) const
{
    std::vector<guest_report> found;
    std::copy_if(reports_.begin(), reports_.end(), std::back_inserter(found),
        [&](const guest_report& r) { return r.key == key; });
    return found;
}
