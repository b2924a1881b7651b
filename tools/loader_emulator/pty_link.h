#pragma once

#include "options.h"
#include "transcript.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace emu {

// How a wait on the host ended.
enum class wait_result { done, deadline, idle, signal, hangup, error };

// The device's end of the serial line: a pty master published as DIR/comN,
// with the wire clock that makes --baud pacing look like a real UART. Only the
// master is held, as a device at the far end of a cable holds only its end:
// the host must find the line open by nobody else.
class pty_link {
public:
    pty_link(const emulator_options& options, emulator_clock::time_point start)
        : options_(options), last_activity_(start)
    {
    }
    ~pty_link();
    pty_link(const pty_link&) = delete;
    pty_link& operator=(const pty_link&) = delete;

    bool open(std::string& error);
    const std::string& link_path() const { return link_path_; }
    const std::string& slave_path() const { return slave_path_; }

    // Collects the current block until it holds `size` bytes; bytes already
    // gathered survive a deadline, so a frame can straddle one.
    wait_result read_block(std::size_t size, emulator_clock::time_point deadline);
    const std::vector<std::uint8_t>& block() const { return block_; }
    void clear_block() { block_.clear(); }

    wait_result send(const std::uint8_t* data, std::size_t size);
    wait_result sleep_for(std::chrono::milliseconds time);
    // Closing the master discards what the host has not read yet, and how much
    // that is cannot be seen from the master: wait until the host has closed
    // the line, for a while at most.
    wait_result drain();
    bool hang_up(std::string& error);

    int signal_number() const;
    const std::string& io_error() const { return io_error_; }
    std::uint64_t received() const { return received_; }
    std::uint64_t sent() const { return sent_; }

private:
    bool publish(std::string& error);
    wait_result sleep_until(emulator_clock::time_point when);
    wait_result poll_until(int fd, short events, emulator_clock::time_point deadline);
    bool watch_for_the_host();
    emulator_clock::duration wire_time(std::size_t size) const;
    wait_result fail(const char* what);

    const emulator_options& options_;
    int master_ = -1;
    int line_events_ = -1; // edge-triggered watch on the master: wakes only when something new happens
    bool host_heard_ = false; // a byte came from the host: from now on a hang-up means it left
    bool awaiting_host_ = false;
    std::string slave_path_;
    std::string link_path_;
    bool published_ = false;
    std::vector<std::uint8_t> block_;
    emulator_clock::time_point block_first_{};
    emulator_clock::time_point rx_wire_end_{};
    emulator_clock::time_point tx_wire_end_{};
    emulator_clock::time_point last_activity_{};
    std::uint64_t received_ = 0;
    std::uint64_t sent_ = 0;
    std::string io_error_;
};

} // namespace emu
