#pragma once

#include <cstdint>
#include <cstdio>

#include "common/phase_result.h"

// Shown for a file that cannot be read, and for a name that could not be taken whole.
extern const char MSG_FIRMWARE_UNREADABLE[];

// Opens `firmware_file`, checks its size and reads it into `firmware_buffer` (FW_IMAGE_SIZE
// bytes) with a row of dots. On failure its message has been written.
phase_result load_firmware(const char* firmware_file, unsigned char* firmware_buffer, std::uint32_t& page_count);

struct image_version;

// The page loop of load_firmware on a stream already checked for size, `firmware_file` being the
// name its reason lines give. A short read fails with MSG_FIRMWARE_UNREADABLE rather than leave
// part of a page unset, and so does a file that is no longer as `before` found it once the last
// page is read (nullptr: a stream with no file to look at). Does not close the stream.
phase_result read_firmware_pages(std::FILE* file, const char* firmware_file, unsigned char* firmware_buffer,
    std::uint32_t& page_count, const image_version* before);
