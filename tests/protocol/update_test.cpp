#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "protocol/frames.h"
#include "protocol/update.h"
#include "support/captured_console.h"
#include "support/expected_text.h"
#include "support/fake_port.h"
#include "support/temp_dir.h"

namespace {

using bytes = std::vector<unsigned char>;

constexpr std::size_t PAGES = 120;
constexpr std::size_t REPLIES = 2 + 1 + 2 * PAGES + 1;
constexpr std::size_t SENT_BEFORE_PAGES = 14;
constexpr std::size_t SENT_PER_PAGE = 7 + 4096 + 2;

// Index of each reply in a complete exchange.
constexpr std::size_t ERASE = 0;
constexpr std::size_t ERASE_DONE = 1;
constexpr std::size_t IMAGE_CRC = 2;
constexpr std::size_t header(std::size_t page) { return 3 + 2 * page; }
constexpr std::size_t data(std::size_t page) { return 4 + 2 * page; }
constexpr std::size_t FINAL = REPLIES - 1;

bytes reply(unsigned char status, std::size_t length = 8)
{
    bytes r{0x1E, 0x40, 0x41, 0x42, 0x43, 0x44, 0x45, status};
    r.resize(length);
    return r;
}

struct update_run {
    explicit update_run(std::vector<bytes> replies) : image(sample_image(9))
    {
        for (auto& r : replies) {
            port.queue(std::move(r));
        }
        inbuf.assign(8192, 0xCC);
        outbuf.assign(8192, 0xCC);
        const update_buffers buffers{inbuf.data(), outbuf.data(), reinterpret_cast<const unsigned char*>(image.data())};
        result = run_update(port, buffers, page_count);
    }

    std::string image;
    bytes inbuf;
    bytes outbuf;
    fake_port port;
    captured_console con;
    std::uint32_t page_count = 999;
    phase_result result = phase_result::failure;
};

std::vector<bytes> good_replies() { return std::vector<bytes>(REPLIES, reply(0)); }

void append(bytes& to, std::initializer_list<unsigned char> more)
{
    for (const unsigned char b : more) {
        to.push_back(b);
    }
}

// Everything a complete exchange sends, computed from the frames' documented layout.
bytes complete_stream(const std::string& image)
{
    const auto* img = reinterpret_cast<const unsigned char*>(image.data());
    const std::int32_t crc = calccrc(img, 491504);
    bytes s{0x1E, 0x00, 0x00, 0x00, 0x00, 0x03, 0x00};
    append(s,
        {0x1E, static_cast<unsigned char>(crc & 0xFF), static_cast<unsigned char>((crc >> 8) & 0xFF), 0x00, 0x00, 0x02,
            0x00});
    for (std::size_t p = 0; p < PAGES; ++p) {
        append(s, {0x1E, 0x77, 0x00, 0x00, 0x00, static_cast<unsigned char>(p), 0x00});
        const unsigned char* page = img + p * 4096;
        s.insert(s.end(), page, page + 4096);
        const std::int32_t page_crc = calccrc(page, 4096);
        append(s, {static_cast<unsigned char>(page_crc & 0xFF), static_cast<unsigned char>((page_crc >> 8) & 0xFF)});
    }
    return s;
}

TEST(Update, CompleteExchange)
{
    update_run run(good_replies());
    EXPECT_EQ(run.result, phase_result::success);
    EXPECT_EQ(run.con.output,
        expected::erasing + expected::erased + expected::writing + expected::progress(120) + expected::success);
    EXPECT_EQ(run.port.sent, complete_stream(run.image));
    EXPECT_EQ(run.port.sent.size(), 492614U);
    EXPECT_EQ(run.port.read_profiles.size(), REPLIES);
    EXPECT_EQ(run.page_count, 120U);
    // Frames go out whole, one block each; data and trailer as two blocks back to back.
    EXPECT_EQ(run.port.blocks.size(), 2 + 3 * PAGES);
    EXPECT_EQ(run.port.blocks[3].size(), 4096U);
    EXPECT_EQ(run.port.blocks[4].size(), 2U);
}

TEST(Update, OnlyTheEraseDoneReadRunsUnderTheEraseProfile)
{
    for (const bool erase_done_good : {true, false}) {
        auto replies = good_replies();
        if (!erase_done_good) {
            replies[ERASE_DONE] = reply(0x09);
        }
        update_run run(replies);
        ASSERT_GE(run.port.read_profiles.size(), 2U);
        EXPECT_EQ(run.port.read_profiles[0], timeout_profile::normal);
        EXPECT_EQ(run.port.read_profiles[1], timeout_profile::erase);
        for (std::size_t i = 2; i < run.port.read_profiles.size(); ++i) {
            EXPECT_EQ(run.port.read_profiles[i], timeout_profile::normal) << "read " << i;
        }
        EXPECT_EQ(run.port.current_profile, timeout_profile::normal) << "restored before judging";
    }
}

TEST(Update, EveryFailureHasItsMessageAndStopsSending)
{
    struct row {
        const char* what;
        std::size_t at; // which reply misbehaves
        bytes instead; // what comes in its place (empty: nothing)
        std::string tail; // the output after the common start
        std::size_t bytes_sent; // how much went to the device in all
    };
    const std::string start = expected::erasing;
    const std::string to_pages = start + expected::erased + expected::writing;
    const row rows[] = {
        {"erase reply missing", ERASE, {}, start + expected::no_erase_response, 7},
        {"erase refused", ERASE, reply(0x01), start + expected::no_erase_response, 7},
        {"erase reply short", ERASE, reply(0, 7), start + expected::no_erase_response, 7},
        {"erase-done refused", ERASE_DONE, reply(0x07), start + expected::erase_error, 7},
        {"erase-done missing", ERASE_DONE, {}, start + expected::erase_error, 7},
        {"image CRC: not erased", IMAGE_CRC, reply(0x02), start + expected::erased + expected::not_erased, 14},
        {"image CRC: short", IMAGE_CRC, reply(0x05, 4), start + expected::erased + expected::not_erased, 14},
        {"image CRC: other status", IMAGE_CRC, reply(0x05), start + expected::erased + expected::crc_refused("05"), 14},
        {"image CRC: status ff", IMAGE_CRC, reply(0xFF), start + expected::erased + expected::crc_refused("ff"), 14},
        {"header 7 refused", header(7), reply(0x11),
            to_pages + expected::progress(8) + expected::header_refused("007", "11"),
            SENT_BEFORE_PAGES + 7 * SENT_PER_PAGE + 7},
        {"header 0 short", header(0), reply(0x11, 3),
            to_pages + expected::progress(1) + expected::header_refused("000", "00"), SENT_BEFORE_PAGES + 7},
        {"header 119 missing", header(119), {},
            to_pages + expected::progress(120) + expected::header_refused("119", "00"),
            SENT_BEFORE_PAGES + 119 * SENT_PER_PAGE + 7},
        {"data 3 refused", data(3), reply(0xA5), to_pages + expected::progress(4) + expected::page_refused("a5"),
            SENT_BEFORE_PAGES + 4 * SENT_PER_PAGE},
        {"data 60 missing", data(60), {}, to_pages + expected::progress(61) + expected::page_refused("00"),
            SENT_BEFORE_PAGES + 61 * SENT_PER_PAGE},
        {"final refused", FINAL, reply(0x33), to_pages + expected::progress(120) + expected::final_refused("33"),
            492614},
        {"final short", FINAL, reply(0x33, 7), to_pages + expected::progress(120) + expected::final_refused("00"),
            492614},
        {"final missing", FINAL, {}, to_pages + expected::progress(120) + expected::final_refused("00"), 492614},
    };
    for (const auto& r : rows) {
        auto replies = good_replies();
        replies[r.at] = r.instead;
        replies.resize(r.at + 1); // a failing run reads nothing after the failure anyway
        update_run run(replies);
        EXPECT_EQ(run.result, phase_result::failure) << r.what;
        EXPECT_EQ(run.con.output, r.tail) << r.what;
        EXPECT_EQ(run.port.sent.size(), r.bytes_sent) << r.what;
        const bytes whole = complete_stream(run.image);
        EXPECT_TRUE(std::equal(run.port.sent.begin(), run.port.sent.end(), whole.begin())) << r.what;
        EXPECT_EQ(run.port.read_profiles.size(), r.at + 1) << r.what << ": read past the failing reply";
    }
}

TEST(Update, ExtraBytesBecomeTheStartOfTheNextReply)
{
    // The erase reply comes with two more bytes: every later read is shifted by two, and the
    // status each read finds is byte 5 of what the loader meant as the next reply.
    auto replies = good_replies();
    replies[ERASE] = {0x1E, 0x01, 0, 0, 0, 0, 0, 0x00, 0xEE, 0xEE};
    replies[ERASE_DONE] = {0x1E, 0x02, 0, 0, 0, 0x2A, 0, 0x00};
    update_run run(replies);
    EXPECT_EQ(run.result, phase_result::failure);
    EXPECT_EQ(run.con.output, expected::erasing + expected::erase_error);
}

} // namespace
