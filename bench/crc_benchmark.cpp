// Throughput of the shipped bit-by-bit CRC-16 against a table-driven one over the two spans an
// update computes: the image CRC span once per update, and one page 120 times. The table-driven
// one is the loader emulator's, which was written apart from the product's.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdlib>
#include <vector>

#include "common/image_constants.h"
#include "loader_emulator/crc16.h"
#include "protocol/frames.h"

namespace {

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
        if (emu::crc16(b.data(), FW_CRC_SPAN) != (calccrc(b.data(), static_cast<std::int32_t>(FW_CRC_SPAN)) & 0xFFFF)) {
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
        benchmark::DoNotOptimize(emu::crc16(image().data(), count));
    }
    state.SetBytesProcessed(state.iterations() * state.range(0));
}

BENCHMARK(bm_calccrc)->Arg(FW_CRC_SPAN)->Arg(FW_PAGE_SIZE)->Unit(benchmark::kMicrosecond);
BENCHMARK(bm_table_crc)->Arg(FW_CRC_SPAN)->Arg(FW_PAGE_SIZE)->Unit(benchmark::kMicrosecond);

} // namespace

BENCHMARK_MAIN();
