#pragma once

#include <cstdint>

#include "common/phase_result.h"
#include "serial/serial_port.h"

// Shown when the erase gets no good reply, and when nothing may be sent at all.
extern const char MSG_NO_ERASE_RESPONSE[];

// The buffers of the main sequence that the exchange works on.
struct update_buffers {
    unsigned char* incharbuf; // replies; never cleared between them
    unsigned char* outcharbuf; // frames and trailers being sent
    const unsigned char* firmware_buffer; // the loaded image, FW_IMAGE_SIZE bytes
};

// The whole exchange with the loader: erase, image CRC, 120 pages, final acknowledgement.
// Nothing is retried and nothing is sent after a refusal. Writes its own messages, success or
// failure. Expects the port set up under the normal timeout profile and the image loaded.
phase_result run_update(serial_port& port, const update_buffers& buffers, std::uint32_t& page_count);
