#pragma once

#include "common/windows_api.h"

#include "serial/port_name.h"
#include "serial/serial_port.h"

// A COM port driven through its Win32 handle. The driver does all the timing from the
// COMMTIMEOUTS fields, so every operation is a single synchronous call.
class win32_serial_port final : public serial_port {
public:
    win32_serial_port() = default;
    win32_serial_port(const win32_serial_port&) = delete;
    win32_serial_port& operator=(const win32_serial_port&) = delete;
    ~win32_serial_port() override;

    phase_result open_comport(int num_comport) override;
    refusal why_not_opened() const override { return why_not; }
    void setup_comport() override;
    void set_timeouts(timeout_profile profile) override;
    void send_block(const unsigned char* data, std::uint32_t length) override;
    std::uint32_t read_reply(unsigned char* dest) override;

    const COMMTIMEOUTS& timeouts() const { return tempComTimeouts; }

private:
    HANDLE comport = INVALID_HANDLE_VALUE;
    comport_names names;
    DCB comSettings{};
    COMMTIMEOUTS tempComTimeouts{};
    refusal why_not;
};
