// Firmware files of any contents and size, through load_firmware (a real file) and through
// read_firmware_pages (an in-memory stream of the same bytes).
//
// Input encoding: the input is the file, except that an input of 4 bytes or more starting with
// 0xA5 is a compact description of a large one, since the one size that loads (491,520 bytes)
// is far beyond what a fuzzer mutates well:
//   0xA5, size (3 bytes, little-endian, top 4 bits ignored: at most 1,048,575), pattern...
// The file is the pattern repeated to that size, or zeros when there is no pattern.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <system_error>
#include <vector>

#include "common/image_constants.h"
#include "console/console.h"
#include "fuzz_check.h"
#include "image/firmware_file.h"
#include "output_only_console.h"
#include "support/expected_text.h"

namespace {

namespace fs = std::filesystem;

constexpr std::uint8_t COMPACT_MARK = 0xA5;
constexpr std::size_t COMPACT_HEADER = 4;
constexpr std::uint32_t COMPACT_SIZE_MASK = 0xFFFFF;
constexpr unsigned char CANARY = 0xCC;
constexpr char FAILED_READ_BREAK[] = "\n";

std::vector<unsigned char> decode(const std::uint8_t* data, std::size_t size)
{
    if (size < COMPACT_HEADER || data[0] != COMPACT_MARK) {
        return std::vector<unsigned char>(data, data + size);
    }
    const std::uint32_t wanted =
        (std::uint32_t{data[1]} | std::uint32_t{data[2]} << 8 | std::uint32_t{data[3]} << 16) & COMPACT_SIZE_MASK;
    std::vector<unsigned char> file(wanted, 0);
    const std::size_t pattern = size - COMPACT_HEADER;
    if (pattern == 0 || file.empty()) {
        return file;
    }
    // Doubling copies rather than a byte loop, which the fuzzer would trace compare by compare.
    std::size_t filled = pattern < file.size() ? pattern : file.size();
    std::memcpy(file.data(), data + COMPACT_HEADER, filled);
    while (filled < file.size()) {
        const std::size_t more = filled < file.size() - filled ? filled : file.size() - filled;
        std::memcpy(file.data() + filled, file.data(), more);
        filled += more;
    }
    return file;
}

// One directory per process, removed at exit; the one file in it is rewritten for every input.
class scratch_file {
public:
    scratch_file()
    {
        std::random_device random;
        std::error_code error;
        for (int attempt = 0; attempt < 100 && dir_.empty(); ++attempt) {
            const fs::path candidate =
                fs::temp_directory_path(error) / ("tarvolo-fuzz-image-" + std::to_string(random()));
            if (!error && fs::create_directory(candidate, error) && !error) {
                dir_ = candidate;
            }
        }
        FUZZ_CHECK(!dir_.empty(), "no temporary directory for the image file");
        path_ = (dir_ / "image.bin").string();
        missing_ = (dir_ / "missing.bin").string();
    }
    ~scratch_file()
    {
        std::error_code error;
        (void)fs::remove_all(dir_, error); // leftovers in the temporary directory harm no one
    }
    scratch_file(const scratch_file&) = delete;
    scratch_file& operator=(const scratch_file&) = delete;

    const char* write(const std::vector<unsigned char>& contents) const
    {
        std::FILE* file = std::fopen(path_.c_str(), "wb");
        FUZZ_CHECK(file != nullptr, "cannot create the image file");
        const std::size_t written = contents.empty() ? 0 : std::fwrite(contents.data(), 1, contents.size(), file);
        FUZZ_CHECK(written == contents.size(), "cannot write the image file");
        FUZZ_CHECK(std::fclose(file) == 0, "cannot close the image file");
        return path_.c_str();
    }

    // A name in the same directory that is never created.
    const char* missing() const { return missing_.c_str(); }

private:
    fs::path dir_;
    std::string path_;
    std::string missing_;
};

const scratch_file& the_scratch_file()
{
    static const scratch_file file;
    return file;
}

// A read-only stream of `contents`, as a file already checked for size would be.
std::FILE* open_stream(std::vector<unsigned char>& contents)
{
#if defined(_WIN32)
    std::FILE* stream = std::tmpfile();
    FUZZ_CHECK(stream != nullptr, "cannot make a temporary stream");
    const std::size_t written = contents.empty() ? 0 : std::fwrite(contents.data(), 1, contents.size(), stream);
    FUZZ_CHECK(written == contents.size(), "cannot fill the temporary stream");
    std::rewind(stream);
    return stream;
#else
    static unsigned char nothing = 0; // fmemopen wants a buffer even for no bytes
    std::FILE* stream = fmemopen(contents.empty() ? &nothing : contents.data(), contents.size(), "rb");
    FUZZ_CHECK(stream != nullptr, "cannot open a memory stream");
    return stream;
#endif
}

// The row of dots as it stands when the read of page `pages` (counted from 0) is tried: every
// dot before it and the row break that comes before that page's dot, if it has one.
std::string dots_before_page(std::size_t pages)
{
    std::size_t dot = 0;
    for (std::size_t at = 0; at < expected::dots.size(); ++at) {
        if (expected::dots[at] == '.' && dot++ == pages) {
            return expected::dots.substr(0, at);
        }
    }
    return expected::dots;
}

bool same_bytes(const unsigned char* a, const unsigned char* b, std::size_t count)
{
    return count == 0 || std::memcmp(a, b, count) == 0;
}

void check_load(const std::vector<unsigned char>& contents, std::vector<unsigned char>& buffer)
{
    const char* name = the_scratch_file().write(contents);
    std::memset(buffer.data(), CANARY, buffer.size());
    output_only_console con;
    std::uint32_t page_count = 0;
    const phase_result result = load_firmware(name, buffer.data(), page_count);

    if (contents.size() == FW_IMAGE_SIZE) {
        FUZZ_CHECK(result == phase_result::success, "a file of the image size was not loaded");
        FUZZ_CHECK(con.output == expected::loaded(), "loading printed something other than the dots and the end");
        FUZZ_CHECK(same_bytes(buffer.data(), contents.data(), FW_IMAGE_SIZE), "the loaded image differs from the file");
        return;
    }
    FUZZ_CHECK(result == phase_result::failure, "a file of the wrong size was loaded");
    FUZZ_CHECK(
        con.output == expected::invalid_file, "a file of the wrong size did not get exactly the invalid-file text");
    // A file refused for its size is never read: nothing of it can reach the device.
    FUZZ_CHECK(
        fuzz_all_bytes(buffer.data(), buffer.size(), CANARY), "a file of the wrong size was read into the image");
}

void check_missing(std::vector<unsigned char>& buffer)
{
    std::memset(buffer.data(), CANARY, buffer.size());
    output_only_console con;
    std::uint32_t page_count = 0;
    const phase_result result = load_firmware(the_scratch_file().missing(), buffer.data(), page_count);
    FUZZ_CHECK(result == phase_result::failure, "a file that does not exist was loaded");
    FUZZ_CHECK(
        con.output == expected::unreadable, "a file that does not exist did not get exactly the unreadable text");
    FUZZ_CHECK(fuzz_all_bytes(buffer.data(), buffer.size(), CANARY), "a file that does not exist changed the image");
}

void check_pages(std::vector<unsigned char>& contents, std::vector<unsigned char>& buffer)
{
    std::memset(buffer.data(), CANARY, buffer.size());
    std::FILE* stream = open_stream(contents);
    output_only_console con;
    std::uint32_t page_count = 0;
    const phase_result result = read_firmware_pages(stream, "stream", buffer.data(), page_count, nullptr);
    (void)std::fclose(stream); // read-only

    const std::size_t whole_pages = contents.size() / FW_PAGE_SIZE;
    if (whole_pages >= FW_PAGE_COUNT) {
        FUZZ_CHECK(result == phase_result::success, "a stream with every page was not read");
        FUZZ_CHECK(con.output == expected::loaded(), "reading printed something other than the dots and the end");
        FUZZ_CHECK(same_bytes(buffer.data(), contents.data(), FW_IMAGE_SIZE), "the pages read differ from the stream");
        return;
    }
    FUZZ_CHECK(result == phase_result::failure, "a stream short of a page was read as whole");
    const std::string want =
        expected::reading_pages + dots_before_page(whole_pages) + FAILED_READ_BREAK + expected::unreadable;
    FUZZ_CHECK(con.output == want, "a short stream did not get its dots, a line break and the failure text");
    FUZZ_CHECK(same_bytes(buffer.data(), contents.data(), whole_pages * FW_PAGE_SIZE),
        "the pages read before the short one differ from the stream");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    // Exactly the image size, so that any write past it is an AddressSanitizer report.
    static std::vector<unsigned char> buffer(FW_IMAGE_SIZE);
    std::vector<unsigned char> contents = decode(data, size);
    check_load(contents, buffer);
    check_pages(contents, buffer);
    check_missing(buffer);
    return 0;
}
