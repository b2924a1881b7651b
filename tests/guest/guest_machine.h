#pragma once

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "guest/guest_artefacts.h"
#include "support/process.h"

// The port the guest's updater drives, played on the host by the loader emulator's pseudo-terminal.
enum class adapter {
    uart_16550, // ISA 16550 UART at the guest's ttyS1, driven by 8250
    ftdi, // FTDI USB adapter on an xHCI controller, driven by ftdi_sio: ttyUSB0
    pl011, // the ARM virt board's PL011 UART, driven by amba-pl011: ttyAMA0 (the console moves to virtio)
    // A CDC-ACM port, driven by cdc-acm: ttyACM0, the host side of a USB serial gadget on
    // dummy_hcd, which the guest relays to its own UART (the 16550's ttyS1 on a PC, the PL011
    // elsewhere), whose far end is the emulator.
    acm,
};

// One line "@@tarvolo KEY VALUE" the guest wrote on its console, and when the host read it.
struct guest_report {
    std::string key;
    std::string value;
    std::chrono::steady_clock::time_point at;
};

// A QEMU guest (TCG, no KVM needed) booted from a Debian kernel and an initramfs, whose console
// is the only channel back to the host.
class guest_machine {
public:
    struct settings {
        guest_arch arch = guest_arch::amd64;
        std::string kernel_image;
        std::string initramfs;
        adapter device = adapter::uart_16550;
        std::string device_tty; // the host terminal QEMU connects the guest's port to
        std::string work_dir; // for QEMU's monitor socket
    };

    explicit guest_machine(const settings& s);
    ~guest_machine();
    guest_machine(const guest_machine&) = delete;
    guest_machine& operator=(const guest_machine&) = delete;

    // Reads the console until the guest reports `key`; false if the limit passes or QEMU ends first.
    bool wait_for(const std::string& key, std::chrono::milliseconds limit);
    // Pulls the USB adapter out, as QEMU's monitor does on device_del; throws if QEMU refuses.
    void unplug_adapter();
    // Waits for QEMU to end (the guest powers off after its last report), killing it at the limit.
    // Returns QEMU's exit status, -1 when it had to be killed.
    int finish(std::chrono::milliseconds limit);

    // The last report with `key`, if there is one; every report with `key`, in order.
    std::optional<guest_report> report(const std::string& key) const;
    std::vector<guest_report> reports(const std::string& key) const;

    std::chrono::steady_clock::time_point started;
    std::string console; // everything read from the console, QEMU's own messages included

private:
    // Reads once from the console; false at its end.
    bool read_console(std::chrono::steady_clock::time_point deadline);

    std::unique_ptr<child_process> qemu_;
    std::string qmp_socket_;
    std::string partial_line_;
    std::vector<guest_report> reports_;
    int status_ = -1;
};
