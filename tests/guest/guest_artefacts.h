#pragma once

#include <stdexcept>
#include <string>
#include <vector>

// What a guest boots from, found and prepared on the host: the architecture's record, a Debian
// kernel with its modules, the image QEMU is given, a static busybox.

struct kernel_module {
    std::string name; // its file name, uncompressed
    std::string contents;
};

// The guest's architecture. amd64 boots the host's own kernel and busybox; arm64 and armhf boot
// Debian's ones of theirs, unpacked (not installed) under a root of their own by
// scripts/install-deps.
enum class guest_arch { amd64, arm64, armhf };

// What differs between the guests' architectures: one record each.
struct guest_arch_record {
    const char* deb_arch; // Debian's name
    std::string root; // where its kernel and busybox are: "" for the host's own files
    std::string updater; // the static updater built for it
    const char* qemu; // the program, and the package that brings it
    const char* qemu_package;
    const char* machine;
    const char* cpu; // nullptr: the machine's own
    bool pc; // a PC with its 16550s; otherwise QEMU's virt board with its PL011
};
const guest_arch_record& record_of(guest_arch arch);

// A Debian kernel (package linux-image-<arch>) with its modules, booted as the guest's.
struct guest_kernel {
    std::string image; // ROOT/boot/vmlinuz-<version>
    std::string module_dir; // ROOT/lib/modules/<version>
    // The modules that give the guest `wanted`, in load order (dependencies first); those the
    // kernel has built in are left out.
    std::vector<kernel_module> modules_for(const std::vector<std::string>& wanted) const;
};

// Throws, naming the Debian package to install, when there is no kernel with its modules.
guest_kernel find_guest_kernel(guest_arch arch);

// What QEMU is given to boot `kernel`: its image as packaged, or, on the PC, where the image would
// unpack itself under the emulated processor (about 4 s of TCG for every case), the kernel unpacked
// once on the host and kept in `cache_dir`.
std::string boot_image(const guest_kernel& kernel, guest_arch arch, const std::string& cache_dir);

// Throws, naming the Debian package to install, when a statically linked busybox is missing.
std::string find_static_busybox(guest_arch arch);

// The program's path in PATH, "" when it is not there.
std::string find_in_path(const std::string& program);

// What a case that cannot run is told: `what` is missing, and the Debian package that brings it.
std::runtime_error missing(const std::string& what, const std::string& package);
