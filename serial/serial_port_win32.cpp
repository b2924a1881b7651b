#include "serial/serial_port_win32.h"

#include "common/windows_text.h"

win32_serial_port::~win32_serial_port()
{
    if (comport != INVALID_HANDLE_VALUE) {
        // The process ends right after; a failing close cannot be acted upon.
        (void)CloseHandle(comport);
    }
}

phase_result win32_serial_port::open_comport(int num_comport)
{
    const char* name = build_comport_name(names, num_comport);
    if (name == nullptr) {
        return phase_result::failure;
    }
    // Share mode 0: while this program writes the flash, no other program may open the port.
    const HANDLE handle =
        CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        // Read at once: the next call may overwrite it.
        why_not = refusal(system_message(GetLastError())).about(name);
        return phase_result::failure;
    }
    comport = handle;
    return phase_result::success;
}

void win32_serial_port::setup_comport()
{
    set_timeouts(timeout_profile::normal);
    comSettings.DCBlength = sizeof(DCB);
    // Neither result is examined, and the device's replies show whether the line works. A port
    // that cannot report its settings leaves the record zeroed, so what is written then is
    // 115200 8N1 with every other field zero, which the driver may refuse too; a port that
    // refuses the settings keeps the ones it had.
    (void)GetCommState(comport, &comSettings);
    comSettings.BaudRate = CBR_115200;
    comSettings.ByteSize = 8;
    comSettings.Parity = NOPARITY;
    comSettings.StopBits = ONESTOPBIT;
    comSettings.fParity = 0;
    (void)SetCommState(comport, &comSettings);
}

void win32_serial_port::set_timeouts(timeout_profile profile)
{
    tempComTimeouts = timeouts_for<COMMTIMEOUTS>(profile);
    // Not examined: a port that refuses the limits keeps its previous ones, and nothing better
    // can be done about that here.
    (void)SetCommTimeouts(comport, &tempComTimeouts);
}

void win32_serial_port::send_block(const unsigned char* data, std::uint32_t length)
{
    DWORD written = 0;
    if (WriteFile(comport, data, length, &written, nullptr) == FALSE) {
        written = 0;
    }
    bytes_written = written;
}

std::uint32_t win32_serial_port::read_reply(unsigned char* dest)
{
    // A timeout is no failure: the call succeeds with whatever arrived in time.
    DWORD got = 0;
    if (ReadFile(comport, dest, REPLY_READ_SIZE, &got, nullptr) == FALSE) {
        got = 0;
    }
    bytes_read = got;
    return bytes_read;
}

std::unique_ptr<serial_port> make_platform_port() { return std::make_unique<win32_serial_port>(); }
