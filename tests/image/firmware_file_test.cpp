#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "image/firmware_file.h"
#include "support/captured_console.h"
#include "support/expected_text.h"
#include "support/temp_dir.h"

namespace {

constexpr std::size_t IMAGE_SIZE = 491520;

TEST(LoadFirmware, GoodFileIsReadWholeWithThreeRowsOfDots)
{
    temp_dir dir;
    const std::string image = sample_image(3);
    const std::string file = dir.write_file("fw.bin", image);
    std::vector<unsigned char> buffer(IMAGE_SIZE, 0xAA);
    std::uint32_t page_count = 7;

    captured_console con;
    ASSERT_EQ(load_firmware(file.c_str(), buffer.data(), page_count), phase_result::success);
    EXPECT_EQ(con.output, expected::reading_pages + expected::dots + "\nFinished reading firmware ...\n\r\n");
    EXPECT_EQ(std::string(buffer.begin(), buffer.end()), image);
    EXPECT_EQ(page_count, 120U);
}

TEST(LoadFirmware, RefusedFiles)
{
    temp_dir dir;
    struct row {
        const char* what;
        std::string path;
        std::string message;
    };
    const row rows[] = {
        {"missing", dir.path + "/absent.bin", expected::unreadable},
        {"empty", dir.write_file("empty.bin", ""), expected::invalid_file},
        {"one byte short", dir.write_file("short.bin", std::string(IMAGE_SIZE - 1, 'x')), expected::invalid_file},
        {"one byte long", dir.write_file("long.bin", std::string(IMAGE_SIZE + 1, 'x')), expected::invalid_file},
        {"one page short", dir.write_file("page.bin", std::string(IMAGE_SIZE - 4096, 'x')), expected::invalid_file},
    };
    for (const auto& r : rows) {
        std::vector<unsigned char> buffer(IMAGE_SIZE);
        std::uint32_t page_count = 0;
        captured_console con;
        EXPECT_EQ(load_firmware(r.path.c_str(), buffer.data(), page_count), phase_result::failure) << r.what;
        EXPECT_EQ(con.output, r.message) << r.what;
    }
}

TEST(LoadFirmware, ShortReadIsReportedNotSent)
{
    // A stream that ends early although its size was checked: the file shrank after the check.
    std::string contents = sample_image(4);
    contents.resize(IMAGE_SIZE - 100);
    std::FILE* stream = fmemopen(contents.data(), contents.size(), "rb");
    ASSERT_NE(stream, nullptr);
    std::vector<unsigned char> buffer(IMAGE_SIZE);
    std::uint32_t page_count = 0;

    captured_console con;
    EXPECT_EQ(read_firmware_pages(stream, "fw.bin", buffer.data(), page_count, nullptr), phase_result::failure);
    (void)std::fclose(stream);
    const std::string dots_before_failure = std::string(59, '.') + "\n\r" + std::string(59, '.') + "\n\r" + ".";
    EXPECT_EQ(con.output, expected::reading_pages + dots_before_failure + "\n" + expected::unreadable);
    EXPECT_EQ(con.reasons, "tarvolo_updater: fw.bin: cut short while it was read, after 491420 of 491520 bytes\n");
    EXPECT_EQ(page_count, 119U);
}

} // namespace
