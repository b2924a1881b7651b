#include "protocol/update.h"

#include "common/image_constants.h"
#include "console/console.h"
#include "protocol/frames.h"

// The port reads a reply as one frame; a reply is complete only when the port's read and the frame
// are the same size.
static_assert(REPLY_READ_SIZE == REPLY_FRAME_SIZE, "the port reads a reply frame whole, no more, no less");

const char MSG_NO_ERASE_RESPONSE[] = "Failure: No 'erase firmware' command response ...\n\n\r";

namespace {

constexpr char MSG_ERASING[] = "Erasing firmware ...\n\r";
constexpr char MSG_ERASE_ERROR[] = "Failure: Erase firmware error ...\n\n\r";
constexpr char MSG_ERASED[] = "Firmware erased successfully ...\n\r";
constexpr char MSG_NOT_ERASED[] = "Firmware not erased ....\n\n\r";
constexpr char MSG_CRC_REFUSED[] = "Failure pos 1  : %.2x\n\n\r";
constexpr char MSG_WRITING[] = "Writing firmware to flash ...\n\r";
constexpr char MSG_PAGE_PROGRESS[] = "\rPagecount : %3d of 120";
// "/219" is fixed text, not the page count: operators know the message by it.
constexpr char MSG_HEADER_REFUSED[] = "\n\rFailure packet header ackn.; page %.3d/219: %.2x\n\n\r";
constexpr char MSG_PAGE_REFUSED[] = "\n\rFailure single packet : %.2x\n\r";
constexpr char MSG_FINAL_REFUSED[] = "\n\rFailure : %.2x\n\n\r";
constexpr char MSG_SUCCESS[] = "\nFirmware successfully written to Tarvolo ... \n\n\r";

// One update: the port, the main sequence's buffers and its page counter, for the whole exchange.
class update_exchange {
public:
    update_exchange(serial_port& port, const update_buffers& buffers, std::uint32_t& page_count)
        : port_(port), buffers_(buffers), page_count_(page_count)
    {
    }

    phase_result erase()
    {
        say(MSG_ERASING);
        build_erase_frame(buffers_.outcharbuf);
        send_frame();
        if (!read_good_reply()) {
            say(MSG_NO_ERASE_RESPONSE);
            return phase_result::failure;
        }
        // The loader answers again only when the flash is blank, which takes far longer than a reply.
        port_.set_timeouts(timeout_profile::erase);
        const bool erased = read_good_reply();
        port_.set_timeouts(timeout_profile::normal);
        if (!erased) {
            say(MSG_ERASE_ERROR);
            return phase_result::failure;
        }
        say(MSG_ERASED);
        say("\n");
        return phase_result::success;
    }

    phase_result announce_image_crc()
    {
        build_crc_frame(buffers_.outcharbuf, calccrc(buffers_.firmware_buffer, static_cast<std::int32_t>(FW_CRC_SPAN)));
        send_frame();
        // Judged apart from the others: this reply has a refusal of its own, which a short reply
        // is taken for as well.
        const bool complete = port_.read_reply(buffers_.incharbuf) == REPLY_FRAME_SIZE;
        if (status() == STATUS_NOT_ERASED || !complete) {
            say(MSG_NOT_ERASED);
            return phase_result::failure;
        }
        if (status() != 0) {
            say(MSG_CRC_REFUSED, status());
            return phase_result::failure;
        }
        return phase_result::success;
    }

    phase_result write_pages()
    {
        say(MSG_WRITING);
        for (page_count_ = 0; page_count_ < FW_PAGE_COUNT; ++page_count_) {
            build_page_header(buffers_.outcharbuf, static_cast<unsigned char>(page_count_));
            say(MSG_PAGE_PROGRESS, static_cast<int>(page_count_ + 1));
            send_frame();
            if (!read_good_reply()) {
                say(MSG_HEADER_REFUSED, static_cast<int>(page_count_), status());
                return phase_result::failure;
            }
            // cppcheck takes the braced size_t{} below for an assignment to firmware_buffer.
            // cppcheck-suppress redundantInitialization
            const unsigned char* page = buffers_.firmware_buffer + std::size_t{page_count_} * FW_PAGE_SIZE;
            port_.send_block(page, FW_PAGE_SIZE);
            build_page_trailer(buffers_.outcharbuf, calccrc(page, static_cast<std::int32_t>(FW_PAGE_SIZE)));
            port_.send_block(buffers_.outcharbuf, PAGE_TRAILER_SIZE);
            if (!read_good_reply()) {
                say(MSG_PAGE_REFUSED, status());
                return phase_result::failure;
            }
        }
        return phase_result::success;
    }

    // The loader's last word: it has checked the whole image against the CRC announced.
    phase_result final_acknowledgement()
    {
        if (!read_good_reply()) {
            say(MSG_FINAL_REFUSED, status());
            return phase_result::failure;
        }
        say(MSG_SUCCESS);
        return phase_result::success;
    }

private:
    void send_frame() { port_.send_block(buffers_.outcharbuf, COMMAND_FRAME_SIZE); }

    // A reply is good when all 8 bytes came and the loader said 0. A short reply leaves the
    // status of the previous reply in place, which every caller before this one found good.
    bool read_good_reply() { return port_.read_reply(buffers_.incharbuf) == REPLY_FRAME_SIZE && status() == 0; }

    unsigned status() const { return buffers_.incharbuf[REPLY_STATUS_OFFSET]; }

    serial_port& port_;
    const update_buffers& buffers_;
    std::uint32_t& page_count_;
};

} // namespace

phase_result run_update(serial_port& port, const update_buffers& buffers, std::uint32_t& page_count)
{
    update_exchange update(port, buffers, page_count);
    if (update.erase() != phase_result::success || update.announce_image_crc() != phase_result::success ||
        update.write_pages() != phase_result::success) {
        return phase_result::failure;
    }
    return update.final_acknowledgement();
}
