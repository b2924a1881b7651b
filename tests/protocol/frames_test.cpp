#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "protocol/frames.h"

namespace {

using bytes = std::vector<unsigned char>;

std::int32_t crc_of(const std::string& text)
{
    return calccrc(reinterpret_cast<const unsigned char*>(text.data()), static_cast<std::int32_t>(text.size()));
}

TEST(Calccrc, KnownCheckValues)
{
    struct row {
        std::string input;
        int expected;
    };
    const row rows[] = {
        {"123456789", 0x31C3},
        {"abc", 0x9DD6},
        {std::string(1, '\0'), 0x0000},
        {"\xFF", 0x1EF0},
        {"A", 0x58E5},
    };
    for (const auto& r : rows) {
        EXPECT_EQ(crc_of(r.input) & 0xFFFF, r.expected) << r.input;
    }
}

TEST(Calccrc, NothingOrLessGivesZero)
{
    const unsigned char data[] = {1, 2, 3};
    EXPECT_EQ(calccrc(data, 0), 0);
    EXPECT_EQ(calccrc(data, -1), 0);
    EXPECT_EQ(calccrc(data, INT32_MIN), 0);
}

TEST(Calccrc, LongRunStaysSixteenBits)
{
    // A long all-ones run drives every shift through bit 15; the value must stay a CRC-16.
    const std::vector<unsigned char> ones(491504, 0xFF);
    const std::int32_t crc = calccrc(ones.data(), static_cast<std::int32_t>(ones.size()));
    EXPECT_EQ(crc & ~0xFFFF, 0);
    // Appending the CRC high byte first leaves a zero remainder, the defining property.
    std::vector<unsigned char> framed = ones;
    framed.push_back(static_cast<unsigned char>(crc >> 8));
    framed.push_back(static_cast<unsigned char>(crc & 0xFF));
    EXPECT_EQ(calccrc(framed.data(), static_cast<std::int32_t>(framed.size())), 0);
}

TEST(Frames, BuildersWriteExactBytes)
{
    struct row {
        const char* name;
        void (*build)(unsigned char*);
        bytes expected;
    };
    const row rows[] = {
        {"erase", [](unsigned char* d) { build_erase_frame(d); }, {0x1E, 0x00, 0x00, 0x00, 0x00, 0x03, 0x00}},
        {"crc 9DD6", [](unsigned char* d) { build_crc_frame(d, 0x9DD6); }, {0x1E, 0xD6, 0x9D, 0x00, 0x00, 0x02, 0x00}},
        {"crc 0077", [](unsigned char* d) { build_crc_frame(d, 0x0077); }, {0x1E, 0x77, 0x00, 0x00, 0x00, 0x02, 0x00}},
        {"crc high bits ignored", [](unsigned char* d) { build_crc_frame(d, 0x7FFF1234); },
            {0x1E, 0x34, 0x12, 0x00, 0x00, 0x02, 0x00}},
        {"header 0", [](unsigned char* d) { build_page_header(d, 0); }, {0x1E, 0x77, 0x00, 0x00, 0x00, 0x00, 0x00}},
        {"header 2", [](unsigned char* d) { build_page_header(d, 2); }, {0x1E, 0x77, 0x00, 0x00, 0x00, 0x02, 0x00}},
        {"header 119", [](unsigned char* d) { build_page_header(d, 119); }, {0x1E, 0x77, 0x00, 0x00, 0x00, 0x77, 0x00}},
    };
    for (const auto& r : rows) {
        // Stale bytes from an earlier frame must all be overwritten.
        bytes out(9, 0xAA);
        r.build(out.data());
        EXPECT_EQ(bytes(out.begin(), out.begin() + 7), r.expected) << r.name;
        EXPECT_EQ(out[7], 0xAA) << r.name << ": wrote past the frame";
    }
}

TEST(Frames, TrailerIsLowByteFirstAndTouchesOnlyTwoBytes)
{
    bytes out(7, 0xAA);
    build_page_trailer(out.data(), 0x31C3);
    EXPECT_EQ(out, (bytes{0xC3, 0x31, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA}));
}

TEST(Frames, ImageCrcOf0077LooksLikeHeaderOfPage2)
{
    bytes crc_frame(7);
    bytes header(7);
    build_crc_frame(crc_frame.data(), 0x0077);
    build_page_header(header.data(), 2);
    EXPECT_EQ(crc_frame, header);
}

} // namespace
