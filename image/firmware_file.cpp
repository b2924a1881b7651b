#include "image/firmware_file.h"

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstring>
#include <string>

#include "common/image_constants.h"
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

phase_result unreadable_after_dots(const char* firmware_file, const char* reason)
{
    say("\n");
    say(MSG_FIRMWARE_UNREADABLE);
    say_reason(firmware_file, reason);
    return phase_result::failure;
}

// What read_again found when the bytes differ, apart from every errno value.
constexpr int CHANGED = -1;

// Reads the whole file once more from its start and compares it with `firmware_buffer`: 0 when it
// holds the same bytes and no more, CHANGED when not, or the errno of a failed read.
int read_again(std::FILE* file, const unsigned char* firmware_buffer)
{
    // From the file's source, not from what the first read left in memory, which would agree
    // with itself whatever the source holds now.
    forget_cached_pages(file);
    if (std::fseek(file, 0, SEEK_SET) != 0) {
        return errno != 0 ? errno : EIO;
    }
    // A few large reads: on a slow share each one costs a round trip.
    unsigned char again[16 * FW_PAGE_SIZE];
    for (std::size_t offset = 0; offset < FW_IMAGE_SIZE; offset += sizeof again) {
        const std::size_t want = std::min(sizeof again, static_cast<std::size_t>(FW_IMAGE_SIZE) - offset);
        errno = 0;
        const std::size_t got = std::fread(again, 1, want, file);
        if (got != want && std::ferror(file) != 0) {
            return errno != 0 ? errno : EIO;
        }
        if (got != want || std::memcmp(again, firmware_buffer + offset, want) != 0) {
            return CHANGED;
        }
    }
    if (std::fgetc(file) != EOF) {
        return CHANGED; // grown since it was measured
    }
    return std::ferror(file) != 0 ? (errno != 0 ? errno : EIO) : 0;
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
            const int error = errno;
            char cut_short[96];
            (void)std::snprintf(cut_short, sizeof cut_short, REASON_CUT_SHORT,
                std::uint64_t{page_count} * FW_PAGE_SIZE + got, static_cast<std::uint32_t>(FW_IMAGE_SIZE));
            return unreadable_after_dots(
                firmware_file, std::ferror(file) != 0 && error != 0 ? std::strerror(error) : cut_short);
        }
        say(".");
    }
    if (before != nullptr) {
        // Every page came from one version of the file only if the same file still holds the
        // same bytes: a copy that landed meanwhile, in place, leaves a mix of two images whose
        // CRC the device would accept. Its timestamps cannot tell, as a writer may set them back
        // and a coarse clock may not move at all.
        image_version after;
        if (!look_at_image(file, after)) {
            return unreadable_after_dots(firmware_file, std::strerror(errno));
        }
        const int error = after == *before ? read_again(file, firmware_buffer) : CHANGED;
        if (error != 0) {
            return unreadable_after_dots(firmware_file, error == CHANGED ? REASON_CHANGED : std::strerror(error));
        }
        // The same bytes twice prove nothing if a writer got in early enough to write the pages
        // not yet read, and the second read only saw the same mix again.
        const std::string let_in = writer_let_in(file, *before);
        if (!let_in.empty()) {
            return unreadable_after_dots(firmware_file, let_in.c_str());
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
        say_reason(firmware_file, image.reason.c_str());
        return phase_result::failure;
    }
    std::FILE* file = image.file;
    // Looked at before it is measured: whatever happens to the file after this look, the look
    // after the last page sees it.
    image_version before;
    if (!look_at_image(file, before)) {
        const int error = errno;
        say(MSG_FIRMWARE_UNREADABLE);
        say_reason(firmware_file, std::strerror(error));
        (void)std::fclose(file); // read-only: a failing close loses nothing
        return phase_result::failure;
    }
    const std::int64_t size = measure_size(file);
    if (size != static_cast<std::int64_t>(FW_IMAGE_SIZE)) {
        const int error = errno;
        say(MSG_INVALID_FIRMWARE);
        char wrong_size[64];
        (void)std::snprintf(
            wrong_size, sizeof wrong_size, REASON_WRONG_SIZE, size, static_cast<std::uint32_t>(FW_IMAGE_SIZE));
        say_reason(firmware_file, size < 0 ? std::strerror(error) : wrong_size);
        // The run ends after this anyway; closing now changes nothing the operator sees and leaves
        // no stream behind for a caller that goes on (the tests do). A failing close loses nothing.
        (void)std::fclose(file);
        return phase_result::failure;
    }
    const phase_result result = read_firmware_pages(file, firmware_file, firmware_buffer, page_count, &before);
    (void)std::fclose(file); // read-only: a failing close loses nothing
    return result;
}
