#pragma once

#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "serial/serial_port.h"

// An in-memory port: records what is sent and under which profile, and answers each read from
// a queue of scripted byte runs. Each read takes at most 8 bytes from the front of the stream of
// queued bytes, and a run boundary ends a read early, as a pause on the line would.
class fake_port final : public serial_port {
public:
    phase_result open_comport(int num_comport) override
    {
        opened_number = num_comport;
        return open_result;
    }
    refusal line_taken_meanwhile() const override { return taken_meanwhile; }
    refusal line_taken_during_update() const override { return taken_during_update; }
    void setup_comport() override
    {
        ++setups;
        set_timeouts(timeout_profile::normal);
    }
    void set_timeouts(timeout_profile profile) override
    {
        current_profile = profile;
        profile_changes.push_back(profile);
    }
    void send_block(const unsigned char* data, std::uint32_t length) override
    {
        blocks.emplace_back(data, data + length);
        sent.insert(sent.end(), data, data + length);
        bytes_written = length;
    }
    std::uint32_t read_reply(unsigned char* dest) override
    {
        read_profiles.push_back(current_profile);
        std::uint32_t got = 0;
        if (!replies.empty()) {
            std::vector<unsigned char>& run = replies.front();
            while (got < 8 && !run.empty()) {
                dest[got++] = run.front();
                run.erase(run.begin());
            }
            if (run.empty()) {
                replies.pop_front();
            }
        }
        bytes_read = got;
        return got;
    }

    // Queues a run of bytes; an empty run is a read that times out with nothing.
    void queue(std::vector<unsigned char> run) { replies.push_back(std::move(run)); }

    phase_result open_result = phase_result::success;
    refusal taken_meanwhile; // another program found on the line before the first byte
    refusal taken_during_update; // another program seen opening the line during the exchange
    int opened_number = 0;
    int setups = 0;
    timeout_profile current_profile = timeout_profile::normal;
    std::vector<timeout_profile> profile_changes;
    std::vector<timeout_profile> read_profiles;
    std::vector<std::vector<unsigned char>> blocks;
    std::vector<unsigned char> sent;
    std::deque<std::vector<unsigned char>> replies;
};
