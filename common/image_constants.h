#pragma once

#include <cstdint>

// The image is raw flash contents: 120 pages of 4096 bytes, no header.
constexpr std::uint32_t FW_PAGE_SIZE = 4096;
constexpr std::uint32_t FW_PAGE_COUNT = 120;
constexpr std::uint32_t FW_IMAGE_SIZE = FW_PAGE_SIZE * FW_PAGE_COUNT;
// The loader keeps the last 16 bytes of flash for itself, so the image CRC leaves them out.
constexpr std::uint32_t FW_CRC_SPAN = FW_IMAGE_SIZE - 16;

static_assert(FW_IMAGE_SIZE == 491520, "image size is fixed by the device");
static_assert(FW_CRC_SPAN == 491504, "CRC span is fixed by the device");
