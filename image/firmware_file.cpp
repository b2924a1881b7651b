#include "image/firmware_file.h"

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstring>
#include <string>

#include "common/close_guard.h"
#include "common/image_constants.h"
#include "common/refusal.h"
#include "console/console.h"
#include "image/image_stream.h"

const char MSG_FIRMWARE_UNREADABLE[] = "Failure reading firmware ...\n\n\r";

namespace {

constexpr char MSG_INVALID_FIRMWARE[] = "Invalid firmware file ...\n\n\r";
constexpr char MSG_READING_PAGES[] = "Reading firmware pages from file ...\n\r";
constexpr char MSG_FINISHED_READING[] = "Finished reading firmware ...\n\r";
constexpr char REASON_CUT_SHORT[] = "cut short while it was read, after %" PRIu64 " of %" PRIu32 " bytes";
constexpr char REASON_CHANGED[] = "changed while it was read";
constexpr char REASON_WRONG_SIZE[] = "%" PRId64 " bytes; an image has %" PRIu32;
// Where the row of dots breaks, so that no row is wider than an 80-column console.
constexpr std::uint32_t DOT_ROW_BREAK_1 = 59;
constexpr std::uint32_t DOT_ROW_BREAK_2 = 118;

phase_result unreadable_after_dots(const char* firmware_file, const refusal& why)
{
    say("\n");
    say(MSG_FIRMWARE_UNREADABLE);
    say_reason(firmware_file, why);
    return phase_result::failure;
}

refusal failed_read(std::FILE* file) { return refusal::of_errno(std::ferror(file) != 0 && errno != 0 ? errno : EIO); }

// Reads the whole file once more from its start and compares it with `firmware_buffer`: refused
// when it no longer holds the same bytes and no more, or cannot be read.
refusal read_again(std::FILE* file, const unsigned char* firmware_buffer)
{
    // From the file's source, not from what the first read left in memory, which would agree
    // with itself whatever the source holds now.
    forget_cached_pages(file);
    errno = 0;
    if (std::fseek(file, 0, SEEK_SET) != 0) {
        return refusal::of_errno(errno != 0 ? errno : EIO);
    }
    // A few large reads: on a slow share each one costs a round trip.
    unsigned char again[16 * FW_PAGE_SIZE];
    for (std::size_t offset = 0; offset < FW_IMAGE_SIZE; offset += sizeof again) {
        const std::size_t want = std::min(sizeof again, static_cast<std::size_t>(FW_IMAGE_SIZE) - offset);
        errno = 0;
        const std::size_t got = std::fread(again, 1, want, file);
        if (got != want && std::ferror(file) != 0) {
            return failed_read(file);
        }
        if (got != want || std::memcmp(again, firmware_buffer + offset, want) != 0) {
            return refusal(REASON_CHANGED);
        }
    }
    if (std::fgetc(file) != EOF) {
        return refusal(REASON_CHANGED); // grown since it was measured
    }
    return std::ferror(file) != 0 ? failed_read(file) : refusal();
}

} // namespace

phase_result read_firmware_pages(std::FILE* file, const char* firmware_file, unsigned char* firmware_buffer,
    std::uint32_t& page_count, const image_version* before)
{
    say(MSG_READING_PAGES);
    for (page_count = 0; page_count < FW_PAGE_COUNT; ++page_count) {
        if (page_count == DOT_ROW_BREAK_1 || page_count == DOT_ROW_BREAK_2) {
            say("\n\r");
        }
        errno = 0;
        const std::size_t got =
            std::fread(firmware_buffer + std::size_t{page_count} * FW_PAGE_SIZE, 1, FW_PAGE_SIZE, file);
        if (got != FW_PAGE_SIZE) {
            // The file shrank or failed under us: never send a page that was not read whole.
            if (std::ferror(file) != 0 && errno != 0) {
                return unreadable_after_dots(firmware_file, refusal::of_errno(errno));
            }
            char cut_short[96];
            (void)std::snprintf(cut_short, sizeof cut_short, REASON_CUT_SHORT,
                std::uint64_t{page_count} * FW_PAGE_SIZE + got, static_cast<std::uint32_t>(FW_IMAGE_SIZE));
            return unreadable_after_dots(firmware_file, refusal(cut_short));
        }
        say(".");
    }
    if (before != nullptr) {
        // Every page came from one version of the file only if the same file still holds the
        // same bytes: a copy that landed meanwhile, in place, leaves a mix of two images whose
        // CRC the device would accept. Its timestamps cannot tell, as a writer may set them back
        // and a coarse clock may not move at all.
        image_version after;
        refusal why = look_at_image(file, after);
        if (!why) {
            why = after == *before ? read_again(file, firmware_buffer) : refusal(REASON_CHANGED);
        }
        if (!why) {
            // The same bytes twice prove nothing if a writer got in early enough to write the
            // pages not yet read, and the second read only saw the same mix again.
            why = writer_let_in(file, *before);
        }
        if (why) {
            return unreadable_after_dots(firmware_file, why);
        }
    }
    say("\n");
    say(MSG_FINISHED_READING);
    say("\n");
    return phase_result::success;
}

phase_result load_firmware(const char* firmware_file, unsigned char* firmware_buffer, std::uint32_t& page_count)
{
    const opened_image image = open_image_file(firmware_file);
    if (image.outcome != image_open::opened) {
        say(image.outcome == image_open::unreadable ? MSG_FIRMWARE_UNREADABLE : MSG_INVALID_FIRMWARE);
        say_reason(firmware_file, image.why);
        return phase_result::failure;
    }
    // Closed on every way out: after a wrong size the run ends anyway, and a caller that goes on
    // (the tests do) finds no stream left behind.
    const stream_guard file(image.file);
    // Looked at before it is measured: whatever happens to the file after this look, the look
    // after the last page sees it.
    image_version before;
    if (const refusal why = look_at_image(file.get(), before)) {
        say(MSG_FIRMWARE_UNREADABLE);
        say_reason(firmware_file, why);
        return phase_result::failure;
    }
    std::int64_t size = 0;
    const refusal unmeasured = measure_size(file.get(), size);
    if (unmeasured || size != static_cast<std::int64_t>(FW_IMAGE_SIZE)) {
        say(MSG_INVALID_FIRMWARE);
        char wrong_size[64];
        (void)std::snprintf(
            wrong_size, sizeof wrong_size, REASON_WRONG_SIZE, size, static_cast<std::uint32_t>(FW_IMAGE_SIZE));
        say_reason(firmware_file, unmeasured ? unmeasured : refusal(wrong_size));
        return phase_result::failure;
    }
    return read_firmware_pages(file.get(), firmware_file, firmware_buffer, page_count, &before);
}
