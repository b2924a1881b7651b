#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

// CRC-16/XMODEM, written here rather than borrowed from the product so that a
// shared mistake cannot make both sides agree on a wrong checksum.
namespace emu {

constexpr std::uint16_t CRC16_POLY = 0x1021;

constexpr std::array<std::uint16_t, 256> make_crc16_table()
{
    std::array<std::uint16_t, 256> table{};
    for (std::size_t i = 0; i < table.size(); ++i) {
        auto crc = static_cast<std::uint16_t>(i << 8);
        for (int bit = 0; bit < 8; ++bit) {
            const bool top = (crc & 0x8000U) != 0;
            crc = static_cast<std::uint16_t>(crc << 1);
            if (top) {
                crc = static_cast<std::uint16_t>(crc ^ CRC16_POLY);
            }
        }
        table[i] = crc;
    }
    return table;
}

constexpr std::array<std::uint16_t, 256> CRC16_TABLE = make_crc16_table();

constexpr std::uint16_t crc16(const std::uint8_t* data, std::size_t size, std::uint16_t crc = 0)
{
    for (std::size_t i = 0; i < size; ++i) {
        const auto index = static_cast<std::uint8_t>((crc >> 8) ^ data[i]);
        crc = static_cast<std::uint16_t>((crc << 8) ^ CRC16_TABLE[index]);
    }
    return crc;
}

constexpr std::uint8_t CRC16_CHECK_INPUT[] = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};
static_assert(crc16(CRC16_CHECK_INPUT, sizeof CRC16_CHECK_INPUT) == 0x31C3, "CRC-16/XMODEM check value");

} // namespace emu
