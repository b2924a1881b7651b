#pragma once

#include <cstdint>

// Wire format of the loader: 7-byte command frames, 8-byte replies, 2-byte page trailers.
// Nothing here knows about ports or the order of the exchange.

constexpr std::uint32_t COMMAND_FRAME_SIZE = 7;
constexpr std::uint32_t REPLY_FRAME_SIZE = 8;
constexpr std::uint32_t PAGE_TRAILER_SIZE = 2;
constexpr std::uint32_t REPLY_STATUS_OFFSET = 7;

// Status the loader gives the image CRC frame when it finds flash that was not erased.
constexpr unsigned char STATUS_NOT_ERASED = 0x02;

// CRC-16/XMODEM (poly 0x1021, init 0, no reflection, no final XOR), bit by bit.
// A count of 0 or less gives 0. Only the low 16 bits of the result are meaningful.
std::int32_t calccrc(const unsigned char* data, std::int32_t count);

void build_erase_frame(unsigned char* dest);
void build_crc_frame(unsigned char* dest, std::int32_t crc);
void build_page_header(unsigned char* dest, unsigned char page_index);
void build_page_trailer(unsigned char* dest, std::int32_t crc);

// CRCs travel low byte first.
constexpr unsigned char crc_low_byte(std::int32_t crc) { return static_cast<unsigned char>(crc & 0xFF); }
constexpr unsigned char crc_high_byte(std::int32_t crc) { return static_cast<unsigned char>((crc & 0xFF00) >> 8); }
