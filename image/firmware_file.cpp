#include "image/firmware_file.h"

#include <cerrno>
#include <cstring>

#include "common/image_constants.h"
#include "console/console.h"

const char MSG_FIRMWARE_UNREADABLE[] = "Failure reading firmware ...\n\n\r";

namespace {

constexpr char MSG_INVALID_FIRMWARE[] = "Invalid firmware file ...\n\n\r";
constexpr char MSG_READING_PAGES[] = "Reading firmware pages from file ...\n\r";
constexpr char MSG_FINISHED_READING[] = "Finished reading firmware ...\n\r";
// Where the row of dots breaks, so that no row is wider than an 80-column console.
constexpr std::uint32_t DOT_ROW_BREAK_1 = 59;
constexpr std::uint32_t DOT_ROW_BREAK_2 = 118;

// The size as a seek to the end reports it, or -1 when it cannot be taken.
long measure_size(std::FILE* file)
{
    if (std::fseek(file, 0, SEEK_END) != 0) {
        return -1;
    }
    const long size = std::ftell(file);
    if (std::fseek(file, 0, SEEK_SET) != 0) {
        return -1;
    }
    return size;
}

} // namespace

phase_result read_firmware_pages(std::FILE* file, unsigned char* firmware_buffer, std::uint32_t& page_count)
{
    say(MSG_READING_PAGES);
    for (page_count = 0; page_count < FW_PAGE_COUNT; ++page_count) {
        if (page_count == DOT_ROW_BREAK_1 || page_count == DOT_ROW_BREAK_2) {
            say("\n\r");
        }
        const std::size_t got =
            std::fread(firmware_buffer + std::size_t{page_count} * FW_PAGE_SIZE, 1, FW_PAGE_SIZE, file);
        if (got != FW_PAGE_SIZE) {
            // The file shrank or failed under us: never send a page that was not read whole.
            say("\n");
            say(MSG_FIRMWARE_UNREADABLE);
            return phase_result::failure;
        }
        say(".");
    }
    say("\n");
    say(MSG_FINISHED_READING);
    say("\n");
    return phase_result::success;
}

phase_result load_firmware(const char* firmware_file, unsigned char* firmware_buffer, std::uint32_t& page_count)
{
    std::FILE* file = std::fopen(firmware_file, "rb");
    if (file == nullptr) {
        const int error = errno;
        say(MSG_FIRMWARE_UNREADABLE);
        say_reason(firmware_file, std::strerror(error));
        return phase_result::failure;
    }
    if (measure_size(file) != static_cast<long>(FW_IMAGE_SIZE)) {
        say(MSG_INVALID_FIRMWARE);
        // The run ends after this anyway; closing now changes nothing the operator sees and leaves
        // no stream behind for a caller that goes on (the tests do). A failing close loses nothing.
        (void)std::fclose(file);
        return phase_result::failure;
    }
    const phase_result result = read_firmware_pages(file, firmware_buffer, page_count);
    (void)std::fclose(file); // read-only: a failing close loses nothing
    return result;
}
