#include "guest/guest_machine.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <elf.h>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <poll.h>
#include <sstream>
#include <stdexcept>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include "guest/initramfs.h"
#include "support/pty.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using steady = std::chrono::steady_clock;

namespace {

const std::string REPORT_MARK = "@@tarvolo ";
// Wide: QEMU's monitor waits for the emulated processor, which waits for a core of its own.
constexpr std::chrono::seconds MONITOR_ANSWER_WAIT{60};

std::runtime_error missing(const std::string& what, const std::string& package)
{
    return std::runtime_error(what + ": install the Debian package " + package);
}

std::string find_in_path(const std::string& program)
{
    const char* path = std::getenv("PATH");
    std::istringstream dirs(path != nullptr ? path : "/usr/bin:/bin");
    std::string dir;
    while (std::getline(dirs, dir, ':')) {
        const std::string candidate = dir + "/" + program;
        if (::access(candidate.c_str(), X_OK) == 0) {
            return candidate;
        }
    }
    return {};
}

// Module names are spelt with '-' or '_' interchangeably (modprobe's rule).
std::string module_name(const std::string& path)
{
    std::string name = fs::path(path).filename().string();
    name = name.substr(0, name.find(".ko"));
    std::replace(name.begin(), name.end(), '-', '_');
    return name;
}

std::string xz_decompressed(const std::string& path)
{
    if (find_in_path("xz").empty()) {
        throw missing("xz not found, needed for " + path, "xz-utils");
    }
    // One stream: a kernel image's packed kernel is followed by the image's own data.
    FILE* pipe = ::popen(("xz -dc --single-stream '" + path + "'").c_str(), "r");
    if (pipe == nullptr) {
        throw std::runtime_error("cannot run xz");
    }
    std::string out;
    char room[65536];
    std::size_t n = 0;
    while ((n = std::fread(room, 1, sizeof room, pipe)) > 0) {
        out.append(room, n);
    }
    if (::pclose(pipe) != 0) {
        throw std::runtime_error("xz could not decompress " + path);
    }
    return out;
}

// Each program header of `elf`, in order, until `visit` returns false; false when one lies outside
// the file.
template <typename Header, typename Program, typename Visit>
bool each_program_header(const std::string& elf, Visit visit)
{
    Header header{};
    if (elf.size() < sizeof header) {
        return false;
    }
    std::memcpy(&header, elf.data(), sizeof header);
    for (unsigned i = 0; i < header.e_phnum; ++i) {
        Program program{};
        const std::size_t at = header.e_phoff + std::size_t{i} * header.e_phentsize;
        if (at + sizeof program > elf.size()) {
            return false;
        }
        std::memcpy(&program, elf.data() + at, sizeof program);
        if (!visit(program)) {
            break;
        }
    }
    return true;
}

template <typename Header, typename Program>
bool without_loader(const std::string& elf)
{
    bool interpreter = false;
    const bool whole = each_program_header<Header, Program>(elf, [&](const Program& program) {
        interpreter = program.p_type == PT_INTERP;
        return !interpreter;
    });
    return whole && !interpreter;
}

// A dynamically linked program names its loader in a PT_INTERP program header; the guest has none.
// 64-bit and 32-bit programs (armhf) alike.
bool statically_linked(const std::string& path)
{
    const std::string elf = file_contents(path);
    if (elf.size() <= EI_CLASS || elf.compare(0, SELFMAG, ELFMAG) != 0) {
        return false;
    }
    return elf[EI_CLASS] == ELFCLASS64 ? without_loader<Elf64_Ehdr, Elf64_Phdr>(elf)
                                       : without_loader<Elf32_Ehdr, Elf32_Phdr>(elf);
}

const char* deb_arch(guest_arch arch) { return record_of(arch).deb_arch; }

std::string guest_root(guest_arch arch) { return record_of(arch).root; }

} // namespace

const guest_arch_record& record_of(guest_arch arch)
{
    // Debian's arm64 kernel runs on any ARMv8-A, and TCG emulates the Cortex-A57 faster than
    // "max"; its armhf kernel for LPAE runs on the Cortex-A15 and finds PCI (the xHCI adapter)
    // on the virt board's high memory, which a kernel without LPAE cannot reach.
    static const guest_arch_record records[] = {
        {"amd64", "", TARVOLO_UPDATER_STATIC_PATH, "qemu-system-x86_64", "qemu-system-x86", "pc", nullptr, true},
        {"arm64", TARVOLO_GUEST_ARM64_ROOT, TARVOLO_GUEST_ARM64_UPDATER, "qemu-system-aarch64", "qemu-system-arm",
            "virt", "cortex-a57", false},
        {"armhf", TARVOLO_GUEST_ARMHF_ROOT, TARVOLO_GUEST_ARMHF_UPDATER, "qemu-system-arm", "qemu-system-arm", "virt",
            "cortex-a15", false},
    };
    return records[static_cast<int>(arch)];
}

guest_kernel find_guest_kernel(guest_arch arch)
{
    const std::string root = guest_root(arch);
    guest_kernel found;
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(root + "/boot", error)) {
        const std::string name = entry.path().filename().string();
        if (name.rfind("vmlinuz-", 0) != 0) {
            continue;
        }
        const std::string module_dir = root + "/lib/modules/" + name.substr(8);
        // The newest kernel whose modules are there; the host may run a different one (a container's).
        if (fs::exists(module_dir + "/modules.dep") &&
            (found.image.empty() || ::strverscmp(entry.path().c_str(), found.image.c_str()) > 0)) {
            found.image = entry.path().string();
            found.module_dir = module_dir;
        }
    }
    if (found.image.empty()) {
        throw missing("no kernel in " + root + "/boot with its modules in " + root + "/lib/modules",
            std::string("linux-image-") + deb_arch(arch) + (root.empty() ? "" : " (scripts/install-deps unpacks it)"));
    }
    if (::access(found.image.c_str(), R_OK) != 0) {
        throw std::runtime_error(found.image + " is not readable (Debian makes it readable by root only)");
    }
    return found;
}

namespace {

// An ELF note in a PT_NOTE segment of the 64-bit `elf`: `name`'s note of type `type`.
bool has_note(const std::string& elf, const std::string& name, std::uint32_t type)
{
    if (elf.size() <= EI_CLASS || elf.compare(0, SELFMAG, ELFMAG) != 0 || elf[EI_CLASS] != ELFCLASS64) {
        return false;
    }
    const auto aligned = [](std::size_t n) { return (n + 3) & ~std::size_t{3}; };
    bool found = false;
    (void)each_program_header<Elf64_Ehdr, Elf64_Phdr>(elf, [&](const Elf64_Phdr& program) {
        if (program.p_type != PT_NOTE || program.p_offset + program.p_filesz > elf.size()) {
            return true;
        }
        const std::size_t end = program.p_offset + program.p_filesz;
        for (std::size_t note = program.p_offset; !found && note + sizeof(Elf64_Nhdr) <= end;) {
            Elf64_Nhdr header{};
            std::memcpy(&header, elf.data() + note, sizeof header);
            const std::size_t name_at = note + sizeof header;
            found = header.n_type == type && header.n_namesz == name.size() + 1 && name_at + header.n_namesz <= end &&
                elf.compare(name_at, name.size() + 1, name.c_str(), name.size() + 1) == 0;
            note = name_at + aligned(header.n_namesz) + aligned(header.n_descsz);
        }
        return !found;
    });
    return found;
}

// Written under a name of this process's first, so that a case running beside finds the kept
// file whole or not at all.
void keep(const std::string& path, const std::string& contents)
{
    const std::string part = path + "." + std::to_string(::getpid());
    {
        std::ofstream out(part, std::ios::binary);
        out << contents;
        if (!out.flush()) {
            throw std::runtime_error("cannot write " + part);
        }
    }
    fs::rename(part, path);
}

} // namespace

std::string boot_image(const guest_kernel& kernel, guest_arch arch, const std::string& cache_dir)
{
    // Only the PC's: QEMU unpacks the arm64 image itself, and it enters a 32-bit ARM kernel as
    // Linux only through the kernel's own unpacking (an unpacked one given as a U-Boot image hung
    // in its start-up).
    struct stat status { };
    if (arch != guest_arch::amd64 || ::stat(kernel.image.c_str(), &status) != 0) {
        return kernel.image;
    }
    // A newer image under the same name (a kernel package's rebuild) gets a file of its own.
    const std::string kept = cache_dir + "/" + fs::path(kernel.image).filename().string() + "-" +
        std::to_string(status.st_size) + "-" + std::to_string(status.st_mtime) + ".elf";
    if (::access(kept.c_str(), R_OK) == 0) {
        return kept;
    }
    // Debian packs it with xz (CONFIG_KERNEL_XZ); the format's magic number may also stand in the
    // unpacking code, so each place it stands is tried. A kernel packed otherwise, or without the
    // PVH entry point through which QEMU enters an x86 ELF kernel (a Xen note,
    // XEN_ELFNOTE_PHYS32_ENTRY, 18: CONFIG_PVH), is booted as packaged.
    const std::string image = file_contents(kernel.image);
    const std::string magic = {'\xFD', '7', 'z', 'X', 'Z', '\0'};
    fs::create_directories(cache_dir);
    const std::string packed = kept + "." + std::to_string(::getpid()) + ".xz";
    for (auto at = image.find(magic); at != std::string::npos; at = image.find(magic, at + 1)) {
        std::ofstream(packed, std::ios::binary) << image.substr(at);
        std::string elf;
        try {
            elf = xz_decompressed(packed);
        } catch (const std::runtime_error&) {
            continue; // not the start of the packed kernel
        }
        fs::remove(packed);
        if (!has_note(elf, "Xen", 18)) {
            break;
        }
        keep(kept, elf);
        return kept;
    }
    fs::remove(packed);
    return kernel.image;
}

std::vector<kernel_module> guest_kernel::modules_for(const std::vector<std::string>& wanted) const
{
    std::ifstream builtin_list(module_dir + "/modules.builtin");
    std::vector<std::string> builtin;
    for (std::string line; std::getline(builtin_list, line);) {
        builtin.push_back(module_name(line));
    }
    // modules.dep: "path: dependency dependency ...", the last dependency to be loaded first.
    std::ifstream dep_list(module_dir + "/modules.dep");
    std::map<std::string, std::vector<std::string>> load_order;
    for (std::string line; std::getline(dep_list, line);) {
        const auto colon = line.find(':');
        std::istringstream deps(line.substr(colon + 1));
        std::vector<std::string> order{std::istream_iterator<std::string>(deps), std::istream_iterator<std::string>()};
        std::reverse(order.begin(), order.end());
        order.push_back(line.substr(0, colon));
        load_order[module_name(line.substr(0, colon))] = order;
    }

    std::vector<kernel_module> modules;
    for (const std::string& name : wanted) {
        const std::string key = module_name(name);
        if (std::find(builtin.begin(), builtin.end(), key) != builtin.end()) {
            continue;
        }
        const auto found = load_order.find(key);
        if (found == load_order.end()) {
            throw std::runtime_error("the kernel in " + module_dir + " has no module " + name);
        }
        for (const std::string& path : found->second) {
            const std::string file = fs::path(path).filename().string();
            const bool xz = file.size() > 3 && file.compare(file.size() - 3, 3, ".xz") == 0;
            const std::string guest_name = xz ? file.substr(0, file.size() - 3) : file;
            const bool known = std::any_of(
                modules.begin(), modules.end(), [&](const kernel_module& m) { return m.name == guest_name; });
            if (!known) {
                const std::string full = module_dir + "/" + path;
                modules.push_back({guest_name, xz ? xz_decompressed(full) : file_contents(full)});
            }
        }
    }
    return modules;
}

std::string find_static_busybox(guest_arch arch)
{
    const std::string busybox = guest_root(arch) + "/bin/busybox";
    if (::access(busybox.c_str(), X_OK) != 0 || !statically_linked(busybox)) {
        throw missing("no statically linked " + busybox, std::string("busybox-static:") + deb_arch(arch));
    }
    return busybox;
}

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
