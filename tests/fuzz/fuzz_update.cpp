// The whole exchange with the loader, every reply of it chosen by the fuzzer.
//
// Input encoding, one reply per read the exchange makes, taken from the front of the input:
//   byte < 0xC0     a complete good reply: 8 bytes, status 0 (most bytes, so that deep runs
//                   are common and a run of 244 such bytes is a full successful update);
//   0xC0 to 0xDF    a complete reply whose status is the next input byte (0 when none is left);
//   0xE0 to 0xFF    a raw reply of ((byte & 0x1F) % 9) bytes, 0 to 8, taken from the input
//                   that follows (fewer when the input ends first);
//   input used up   every further read times out with nothing.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "common/image_constants.h"
#include "console/console.h"
#include "fuzz_check.h"
#include "loader_emulator/crc16.h"
#include "output_only_console.h"
#include "protocol/update.h"
#include "serial/serial_port.h"
#include "support/expected_text.h"

namespace {

constexpr std::size_t CHARBUF_SIZE = 8192;
constexpr unsigned char CANARY = 0xCC;
constexpr std::size_t REPLY_SIZE = 8;
constexpr std::size_t FRAME_SIZE = 7;
constexpr std::size_t STATUS_AT = 7;
// Erase acknowledged, erase done, image CRC, header and data for each page, final word.
constexpr std::size_t MAX_REPLIES = 2 + 1 + 2 * FW_PAGE_COUNT + 1;
constexpr std::uint8_t FIRST_STATUS_REPLY = 0xC0;
constexpr std::uint8_t FIRST_RAW_REPLY = 0xE0;
constexpr std::uint8_t RAW_LENGTH_MASK = 0x1F;
constexpr unsigned char NOT_ERASED = 0x02;

using bytes = std::vector<unsigned char>;

// The image and everything the exchange should derive from it, made once per process.
struct fixture {
    // The product's bit-by-bit CRC mispredicts a branch on most bits of varied data, which
    // held the fuzzer to a few dozen runs a second. So pages 0 to 118 are zeros with a page
    // marker near the end followed by the CRC so far: that returns the CRC to 0 at each page end
    // and keeps those pages cheap, yet tells every page apart. Page 119 is varied throughout, so
    // that the image CRC and its trailer are not 0 and a swapped byte order shows.
    //
    // Every CRC here is the emulator's, not the product's, so that a wrong CRC frame or page
    // trailer shows up as a difference instead of being computed the same wrong way twice.
    fixture() : image(FW_IMAGE_SIZE, 0)
    {
        for (std::size_t page = 0; page + 1 < FW_PAGE_COUNT; ++page) {
            unsigned char* end = image.data() + (page + 1) * FW_PAGE_SIZE;
            const unsigned char marker = static_cast<unsigned char>(page + 1);
            const std::uint16_t so_far = emu::crc16(&marker, 1);
            end[-3] = marker;
            end[-2] = high(so_far);
            end[-1] = low(so_far);
        }
        for (std::size_t i = (FW_PAGE_COUNT - 1) * FW_PAGE_SIZE; i < image.size(); ++i) {
            image[i] = static_cast<unsigned char>(i * 7 % 256);
        }
        const std::uint16_t image_crc = emu::crc16(image.data(), FW_CRC_SPAN);
        crc_frame = {0x1E, low(image_crc), high(image_crc), 0x00, 0x00, 0x02, 0x00};
        for (std::size_t page = 0; page < FW_PAGE_COUNT; ++page) {
            const std::uint16_t page_crc = emu::crc16(image.data() + page * FW_PAGE_SIZE, FW_PAGE_SIZE);
            trailers.push_back({low(page_crc), high(page_crc)});
            FUZZ_CHECK((page_crc == 0) == (page + 1 < FW_PAGE_COUNT), "the fixture's pages lost their shape");
        }
        FUZZ_CHECK(low(image_crc) != high(image_crc), "the fixture's image CRC cannot show a byte swap");
        const std::uint16_t last_crc = static_cast<std::uint16_t>(trailers.back()[0] | trailers.back()[1] << 8);
        FUZZ_CHECK(low(last_crc) != high(last_crc), "the fixture's last trailer cannot show a byte swap");
    }
    std::string progress_step(std::size_t page) const
    {
        const std::size_t step = progress.size() / FW_PAGE_COUNT;
        return progress.substr(page * step, step);
    }
    static unsigned char low(std::uint16_t v) { return static_cast<unsigned char>(v & 0xFFU); }
    static unsigned char high(std::uint16_t v) { return static_cast<unsigned char>(v >> 8); }

    bytes image;
    bytes erase_frame{0x1E, 0x00, 0x00, 0x00, 0x00, 0x03, 0x00};
    bytes crc_frame;
    std::vector<bytes> trailers;
    std::string progress = expected::progress(static_cast<int>(FW_PAGE_COUNT));
};

const fixture& the_fixture()
{
    static const fixture instance;
    return instance;
}

bytes page_header(std::size_t page) { return {0x1E, 0x77, 0x00, 0x00, 0x00, static_cast<unsigned char>(page), 0x00}; }

// An empty reply has no data pointer, which memcpy must not be given even for 0 bytes.
void copy_reply(unsigned char* dest, const bytes& reply)
{
    if (!reply.empty()) {
        std::memcpy(dest, reply.data(), reply.size());
    }
}

// One thing the exchange did on the port, in order.
struct event {
    bool is_read = false;
    bytes data; // what was sent, or the reply handed out
    timeout_profile profile = timeout_profile::normal; // in force at a read
};

class scripted_port final : public serial_port {
public:
    scripted_port(fuzz_input& input, const unsigned char* incharbuf) : input_(input), incharbuf_(incharbuf) { }

    phase_result open_comport(int) override
    {
        FUZZ_CHECK(false, "the exchange opened the port itself");
        return phase_result::failure;
    }
    void setup_comport() override { FUZZ_CHECK(false, "the exchange set the port up itself"); }
    void set_timeouts(timeout_profile profile) override { profile_ = profile; }
    void send_block(const unsigned char* data, std::uint32_t length) override
    {
        events.push_back({false, bytes(data, data + length), profile_});
        bytes_written = length;
    }
    std::uint32_t read_reply(unsigned char* dest) override
    {
        FUZZ_CHECK(dest == incharbuf_, "a reply was read somewhere other than the start of incharbuf");
        FUZZ_CHECK(replies < MAX_REPLIES, "more reads than an exchange has replies");
        ++replies;
        bytes reply;
        if (!input_.exhausted()) {
            const std::uint8_t choice = input_.take();
            if (choice < FIRST_STATUS_REPLY) {
                reply = {0x1E, choice, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};
            } else if (choice < FIRST_RAW_REPLY) {
                reply = {0x1E, choice, 0x00, 0x00, 0x00, 0x00, 0x00, input_.take()};
            } else {
                std::size_t length = (choice & RAW_LENGTH_MASK) % (REPLY_SIZE + 1);
                length = length < input_.remaining() ? length : input_.remaining();
                for (std::size_t i = 0; i < length; ++i) {
                    reply.push_back(input_.take());
                }
            }
        }
        copy_reply(dest, reply);
        events.push_back({true, reply, profile_});
        bytes_read = static_cast<std::uint32_t>(reply.size());
        return bytes_read;
    }

    timeout_profile profile() const { return profile_; }

    std::vector<event> events;
    std::size_t replies = 0;

private:
    fuzz_input& input_;
    const unsigned char* incharbuf_;
    timeout_profile profile_ = timeout_profile::normal;
};

std::string hex2(unsigned char v)
{
    constexpr char DIGITS[] = "0123456789abcdef";
    return {DIGITS[v >> 4], DIGITS[v & 0x0F]};
}

std::string page3(std::size_t page)
{
    const std::string digits = std::to_string(page);
    return std::string(3 - digits.size(), '0') + digits;
}

// What the exchange should have done, given the replies it was handed. The replies themselves
// come from the run; the model only decides what each one means and what must follow it.
struct expectation {
    std::vector<event> events;
    std::string output;
    std::string outcome;
    bool success = false;
    // Set when the replies ran out before the model was done: the exchange stopped early.
    bool short_of_replies = false;
    // The status byte a failure message must show, when it shows one.
    bool shows_status = false;
    unsigned char status = 0;
};

class model {
public:
    explicit model(const std::vector<event>& actual)
    {
        for (const event& e : actual) {
            if (e.is_read) {
                replies_.push_back(e.data);
            }
        }
        buffer_.assign(REPLY_SIZE, CANARY);
    }

    expectation run()
    {
        const fixture& fx = the_fixture();
        out_.output = expected::erasing;
        send(fx.erase_frame);
        if (!read(timeout_profile::normal)) {
            return finish(expected::no_erase_response, false);
        }
        if (!read(timeout_profile::erase)) {
            return finish(expected::erase_error, false);
        }
        out_.output += expected::erased;
        send(fx.crc_frame);
        (void)read(timeout_profile::normal);
        if (status() == NOT_ERASED || length_ != REPLY_SIZE) {
            return finish(expected::not_erased, false);
        }
        if (status() != 0) {
            return finish_with_status(expected::crc_refused(hex2(status()).c_str()));
        }
        out_.output += expected::writing;
        for (std::size_t page = 0; page < FW_PAGE_COUNT; ++page) {
            out_.output += fx.progress_step(page);
            send(page_header(page));
            if (!read(timeout_profile::normal)) {
                return finish_with_status(expected::header_refused(page3(page).c_str(), hex2(status()).c_str()));
            }
            const unsigned char* data = fx.image.data() + page * FW_PAGE_SIZE;
            send(bytes(data, data + FW_PAGE_SIZE));
            send(fx.trailers[page]);
            if (!read(timeout_profile::normal)) {
                return finish_with_status(expected::page_refused(hex2(status()).c_str()));
            }
        }
        if (!read(timeout_profile::normal)) {
            return finish_with_status(expected::final_refused(hex2(status()).c_str()));
        }
        return finish(expected::success, true);
    }

private:
    void send(bytes data) { out_.events.push_back({false, std::move(data), timeout_profile::normal}); }

    // Hands the next reply to the model's buffer as the port did; true when it is good.
    bool read(timeout_profile profile)
    {
        if (next_ >= replies_.size()) {
            out_.short_of_replies = true;
            length_ = 0;
            return false;
        }
        const bytes& reply = replies_[next_++];
        copy_reply(buffer_.data(), reply);
        length_ = reply.size();
        out_.events.push_back({true, reply, profile});
        return length_ == REPLY_SIZE && status() == 0;
    }
    unsigned char status() const { return buffer_[STATUS_AT]; }

    expectation finish_with_status(const std::string& outcome)
    {
        out_.shows_status = true;
        out_.status = status();
        return finish(outcome, false);
    }
    expectation finish(const std::string& outcome, bool success)
    {
        out_.output += outcome;
        out_.outcome = outcome;
        out_.success = success;
        return std::move(out_); // run() is called once
    }

    std::vector<bytes> replies_;
    std::size_t next_ = 0;
    bytes buffer_;
    std::size_t length_ = 0;
    expectation out_;
};

std::size_t occurrences(const std::string& text, const std::string& piece)
{
    std::size_t count = 0;
    for (std::size_t at = text.find(piece); at != std::string::npos; at = text.find(piece, at + 1)) {
        ++count;
    }
    return count;
}

bool ends_with(const std::string& text, const std::string& tail)
{
    return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

// Every failure text can be told from the run's output only by how it starts, since statuses
// and page numbers vary; these are those starts.
const std::vector<std::string>& outcome_starts()
{
    static const std::vector<std::string> starts = {
        expected::no_erase_response,
        expected::erase_error,
        expected::not_erased,
        "Failure pos 1  : ",
        "\n\rFailure packet header ackn.; page ",
        "\n\rFailure single packet : ",
        "\n\rFailure : ",
        expected::success,
    };
    return starts;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const fixture& fx = the_fixture();
    static bytes incharbuf(CHARBUF_SIZE);
    static bytes outcharbuf(CHARBUF_SIZE);
    std::memset(incharbuf.data(), CANARY, incharbuf.size());
    std::memset(outcharbuf.data(), CANARY, outcharbuf.size());

    fuzz_input input(data, size);
    scripted_port port(input, incharbuf.data());
    output_only_console con;
    const update_buffers buffers{incharbuf.data(), outcharbuf.data(), fx.image.data()};
    std::uint32_t page_count = 0;
    const phase_result result = run_update(port, buffers, page_count);

    FUZZ_CHECK(fuzz_all_bytes(incharbuf.data() + REPLY_SIZE, incharbuf.size() - REPLY_SIZE, CANARY),
        "incharbuf was written past the 8-byte reply");
    FUZZ_CHECK(fuzz_all_bytes(outcharbuf.data() + FRAME_SIZE, outcharbuf.size() - FRAME_SIZE, CANARY),
        "outcharbuf was written past the 7-byte frame");
    FUZZ_CHECK(port.profile() == timeout_profile::normal, "the exchange left the port under the erase timeouts");

    std::size_t outcomes = 0;
    for (const std::string& start : outcome_starts()) {
        outcomes += occurrences(con.output, start);
    }
    FUZZ_CHECK(outcomes == 1, "the output does not hold exactly one outcome message");

    // Nothing may be sent once a header reply was refused: the loader is not listening for data.
    for (std::size_t i = 0; i + 1 < port.events.size(); ++i) {
        const event& e = port.events[i];
        const bool header_sent = !e.is_read && e.data.size() == 7 && e.data[1] == 0x77;
        if (!header_sent || !port.events[i + 1].is_read) {
            continue;
        }
        const bytes& reply = port.events[i + 1].data;
        const bool refused = reply.size() != REPLY_SIZE || reply[STATUS_AT] != 0;
        if (refused) {
            FUZZ_CHECK(i + 2 == port.events.size(), "something was sent after a refused page header");
        }
    }

    model reference(port.events);
    const expectation expected_run = reference.run();
    FUZZ_CHECK(!expected_run.short_of_replies, "the exchange stopped reading before its outcome was decided");
    if (expected_run.shows_status) {
        // The reply buffer as the run left it, not as the model kept it: the two must agree.
        FUZZ_CHECK(incharbuf[STATUS_AT] == expected_run.status, "the status shown is not byte 7 of the reply buffer");
    }
    if (result == phase_result::success) {
        FUZZ_CHECK(port.replies == MAX_REPLIES, "success without every reply read");
        for (const event& e : port.events) {
            FUZZ_CHECK(!e.is_read || (e.data.size() == REPLY_SIZE && e.data[STATUS_AT] == 0),
                "success although a reply was short or refused");
        }
    }
    FUZZ_CHECK((result == phase_result::success) == expected_run.success, "success does not match the replies");
    FUZZ_CHECK(
        ends_with(con.output, expected_run.outcome), "the output does not end with the outcome the replies call for");
    FUZZ_CHECK(
        port.events.size() == expected_run.events.size(), "the exchange did a different number of sends and reads");
    for (std::size_t i = 0; i < port.events.size(); ++i) {
        const event& got = port.events[i];
        const event& want = expected_run.events[i];
        FUZZ_CHECK(got.is_read == want.is_read, "a send and a read are out of order");
        FUZZ_CHECK(got.data == want.data, "a block sent differs from the frame, page or trailer due");
        if (got.is_read) {
            FUZZ_CHECK(got.profile == want.profile, "a reply was read under the wrong timeouts");
        }
    }
    FUZZ_CHECK(con.output == expected_run.output, "the output differs from the messages the replies call for");
    return 0;
}
