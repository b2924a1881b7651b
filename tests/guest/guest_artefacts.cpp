#include "guest/guest_artefacts.h"

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
#include <sstream>
#include <stdexcept>
#include <sys/stat.h>
#include <unistd.h>

#include "guest/initramfs.h"

namespace fs = std::filesystem;

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

namespace {

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
