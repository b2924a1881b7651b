#pragma once

#include <termios.h>

#include "serial/line_watch_linux.h"
#include "serial/port_name.h"
#include "serial/serial_port.h"
#include "serial/transfer_deadline.h"

// A terminal device driven with termios. Reads and writes are timed with poll(), never with
// VMIN/VTIME, which cannot express a total limit together with a 10 s byte interval.
class posix_serial_port final : public serial_port {
public:
    posix_serial_port() = default;
    posix_serial_port(const posix_serial_port&) = delete;
    posix_serial_port& operator=(const posix_serial_port&) = delete;
    ~posix_serial_port() override;

    phase_result open_comport(int num_comport) override;
    // Opens the device at `path` exactly as open_comport opens a named port.
    // `num_comport`: the COM number the device stands for, for the reason line; 0 for none.
    phase_result open_device(const char* path, int num_comport = 0);
    refusal why_not_opened() const override { return failure_; }
    refusal line_taken_meanwhile() const override;
    refusal line_taken_during_update() const override;
    void setup_comport() override;
    void set_timeouts(timeout_profile profile) override;
    void send_block(const unsigned char* data, std::uint32_t length) override;
    std::uint32_t read_reply(unsigned char* dest) override;

    const comm_timeouts& timeouts() const { return tempComTimeouts; }

private:
    int comport = -1;
    comport_names names;
    termios comSettings{};
    comm_timeouts tempComTimeouts;
    refusal failure_;
    std::string device_; // the path the port was opened by, for the reason lines
    line_watch watch_; // armed from the first look at the line's holders to the close
    refusal taken_during_update_; // once another program opened the line during the update
    bool taken_ = false; // by a program that still has it: nothing more is sent or read

    // How a wait on the port ended.
    enum class port_wait { ready, timed_out, failed, again };

    phase_result refuse(const char* path, const refusal& why);
    // Waits until `limit` for `events` on the port, looking up an open of the line that the watch
    // sees meanwhile; `revents` holds what the port reported.
    port_wait wait_for(short events, transfer_clock::time_point limit, short& revents);
    void look_up_opener();
};

// Applies the line settings to a termios record: 115200 baud 8N1, receiver on, modem status
// ignored, no translation, echo, signals or software flow control; RTS/CTS left as found.
void apply_line_settings(termios& settings);
