#include "protocol/frames.h"

namespace {

constexpr unsigned char FRAME_START = 0x1E;
constexpr unsigned char COMMAND_ERASE = 0x03;
constexpr unsigned char COMMAND_IMAGE_CRC = 0x02;
// The loader expects 0x77 in byte 1 of every page header, whatever the page.
constexpr unsigned char PAGE_HEADER_MARK = 0x77;

void build_command_frame(unsigned char* dest, unsigned char byte1, unsigned char byte2, unsigned char byte5)
{
    dest[0] = FRAME_START;
    dest[1] = byte1;
    dest[2] = byte2;
    dest[3] = 0x00;
    dest[4] = 0x00;
    dest[5] = byte5;
    dest[6] = 0x00;
}

} // namespace

std::int32_t calccrc(const unsigned char* data, std::int32_t count)
{
    std::uint32_t crc = 0;
    for (std::int32_t i = 0; i < count; ++i) {
        crc ^= static_cast<std::uint32_t>(data[i]) << 8;
        for (int bit = 0; bit < 8; ++bit) {
            crc = (crc & 0x8000U) != 0 ? (crc << 1) ^ 0x1021U : crc << 1;
        }
        crc &= 0xFFFFU;
    }
    return static_cast<std::int32_t>(crc);
}

void build_erase_frame(unsigned char* dest) { build_command_frame(dest, 0x00, 0x00, COMMAND_ERASE); }

void build_crc_frame(unsigned char* dest, std::int32_t crc)
{
    build_command_frame(dest, crc_low_byte(crc), crc_high_byte(crc), COMMAND_IMAGE_CRC);
}

void build_page_header(unsigned char* dest, unsigned char page_index)
{
    build_command_frame(dest, PAGE_HEADER_MARK, 0x00, page_index);
}

void build_page_trailer(unsigned char* dest, std::int32_t crc)
{
    dest[0] = crc_low_byte(crc);
    dest[1] = crc_high_byte(crc);
}
