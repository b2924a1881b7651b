#include "protocol/update.h"

#include "app/console.h"
#include "common/image_constants.h"
#include "protocol/frames.h"

namespace {

constexpr char MSG_ERASING[] = "Erasing firmware ...\n\r";
constexpr char MSG_NO_ERASE_RESPONSE[] = "Failure: No 'erase firmware' command response ...\n\n\r";
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

class exchange {
public:
    exchange(serial_port& port, const update_buffers& buffers) : port_(port), buffers_(buffers) { }

    void send_frame() { port_.send_block(buffers_.outcharbuf, COMMAND_FRAME_SIZE); }

    // A reply is good when all 8 bytes came and the loader said 0. A short reply leaves the
    // status of the previous reply in place, which every caller before this one found good.
    bool read_good_reply()
    {
        const std::uint32_t count = port_.read_reply(buffers_.incharbuf);
        return count == REPLY_FRAME_SIZE && status() == 0;
    }

    bool reply_complete() const { return port_.bytes_read == REPLY_FRAME_SIZE; }
    unsigned status() const { return buffers_.incharbuf[REPLY_STATUS_OFFSET]; }

private:
    serial_port& port_;
    const update_buffers& buffers_;
};

phase_result fail(const char* message, unsigned status)
{
    say(message, status);
    return phase_result::failure;
}

phase_result erase(serial_port& port, exchange& loader, unsigned char* outcharbuf)
{
    say(MSG_ERASING);
    build_erase_frame(outcharbuf);
    loader.send_frame();
    if (!loader.read_good_reply()) {
        say(MSG_NO_ERASE_RESPONSE);
        return phase_result::failure;
    }
    // The loader answers again only when the flash is blank, which takes far longer than a reply.
    port.set_timeouts(timeout_profile::erase);
    const bool erased = loader.read_good_reply();
    port.set_timeouts(timeout_profile::normal);
    if (!erased) {
        say(MSG_ERASE_ERROR);
        return phase_result::failure;
    }
    say(MSG_ERASED);
    say("\n");
    return phase_result::success;
}

phase_result announce_image_crc(exchange& loader, const update_buffers& buffers)
{
    const std::int32_t crc = calccrc(buffers.firmware_buffer, static_cast<std::int32_t>(FW_CRC_SPAN));
    build_crc_frame(buffers.outcharbuf, crc);
    loader.send_frame();
    (void)loader.read_good_reply(); // judged below: this reply has two refusals of its own
    if (loader.status() == STATUS_NOT_ERASED || !loader.reply_complete()) {
        say(MSG_NOT_ERASED);
        return phase_result::failure;
    }
    if (loader.status() != 0) {
        return fail(MSG_CRC_REFUSED, loader.status());
    }
    return phase_result::success;
}

phase_result write_pages(serial_port& port, exchange& loader, const update_buffers& buffers, std::uint32_t& page_count)
{
    say(MSG_WRITING);
    for (page_count = 0; page_count < FW_PAGE_COUNT; ++page_count) {
        build_page_header(buffers.outcharbuf, static_cast<unsigned char>(page_count));
        say(MSG_PAGE_PROGRESS, static_cast<int>(page_count + 1));
        loader.send_frame();
        if (!loader.read_good_reply()) {
            say(MSG_HEADER_REFUSED, static_cast<int>(page_count), loader.status());
            return phase_result::failure;
        }
        // cppcheck takes the braced size_t{} below for an assignment to firmware_buffer.
        // cppcheck-suppress redundantInitialization
        const unsigned char* page = buffers.firmware_buffer + std::size_t{page_count} * FW_PAGE_SIZE;
        port.send_block(page, FW_PAGE_SIZE);
        build_page_trailer(buffers.outcharbuf, calccrc(page, static_cast<std::int32_t>(FW_PAGE_SIZE)));
        port.send_block(buffers.outcharbuf, PAGE_TRAILER_SIZE);
        if (!loader.read_good_reply()) {
            return fail(MSG_PAGE_REFUSED, loader.status());
        }
    }
    return phase_result::success;
}

} // namespace

phase_result run_update(serial_port& port, const update_buffers& buffers, std::uint32_t& page_count)
{
    exchange loader(port, buffers);
    if (erase(port, loader, buffers.outcharbuf) != phase_result::success ||
        announce_image_crc(loader, buffers) != phase_result::success ||
        write_pages(port, loader, buffers, page_count) != phase_result::success) {
        return phase_result::failure;
    }
    // The loader's last word: it has checked the whole image against the CRC announced.
    if (!loader.read_good_reply()) {
        return fail(MSG_FINAL_REFUSED, loader.status());
    }
    say(MSG_SUCCESS);
    return phase_result::success;
}
