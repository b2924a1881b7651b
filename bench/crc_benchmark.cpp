// Throughput of the shipped bit-by-bit CRC-16 against a table-driven one over the two spans an
// update computes: the image CRC span once per update, and one page 120 times.
#include <benchmark/benchmark.h>

#include <array>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "common/image_constants.h"
#include "protocol/frames.h"

namespace {

constexpr std::array<std::uint16_t, 256> make_table()
{
    std::array<std::uint16_t, 256> table{};
    for (std::uint32_t i = 0; i < 256; ++i) {
        std::uint32_t crc = i << 8;
        for (int bit = 0; bit < 8; ++bit) {
            crc = (crc & 0x8000U) != 0 ? (crc << 1) ^ 0x1021U : crc << 1;
        }
        table[i] = static_cast<std::uint16_t>(crc);
    }
    return table;
}

constexpr auto TABLE = make_table();

std::uint16_t table_crc(const unsigned char* data, std::size_t count)
{
    std::uint16_t crc = 0;
    for (std::size_t i = 0; i < count; ++i) {
        crc = static_cast<std::uint16_t>((crc << 8) ^ TABLE[((crc >> 8) ^ data[i]) & 0xFFU]);
    }
    return crc;
}

const std::vector<unsigned char>& image()
{
    static const std::vector<unsigned char> bytes = [] {
        std::vector<unsigned char> b(FW_IMAGE_SIZE);
        std::uint32_t state = 12345;
        for (auto& byte : b) {
            state = state * 1103515245U + 12345U;
            byte = static_cast<unsigned char>(state >> 16);
        }
        // The reference is only worth comparing with if both compute the same CRC.
        if (table_crc(b.data(), FW_CRC_SPAN) != (calccrc(b.data(), static_cast<std::int32_t>(FW_CRC_SPAN)) & 0xFFFF)) {
            std::abort();
        }
        return b;
    }();
    return bytes;
}

void bm_calccrc(benchmark::State& state)
{
    const auto count = static_cast<std::int32_t>(state.range(0));
    for (auto _ : state) {
        benchmark::DoNotOptimize(calccrc(image().data(), count));
    }
    state.SetBytesProcessed(state.iterations() * state.range(0));
}

void bm_table_crc(benchmark::State& state)
{
    const auto count = static_cast<std::size_t>(state.range(0));
    for (auto _ : state) {
        benchmark::DoNotOptimize(table_crc(image().data(), count));
    }
    state.SetBytesProcessed(state.iterations() * state.range(0));
}

BENCHMARK(bm_calccrc)->Arg(FW_CRC_SPAN)->Arg(FW_PAGE_SIZE)->Unit(benchmark::kMicrosecond);
BENCHMARK(bm_table_crc)->Arg(FW_CRC_SPAN)->Arg(FW_PAGE_SIZE)->Unit(benchmark::kMicrosecond);

} // namespace

BENCHMARK_MAIN();
