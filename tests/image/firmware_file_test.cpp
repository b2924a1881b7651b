#include <gtest/gtest.h>

#include <cstdio>
#include <fcntl.h>
#include <functional>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "image/firmware_file.h"
#include "image/image_stream.h"
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

// A console that does something to the image once the last page's dot is out: after every page
// has been read, before the pages are checked.
class console_acting_at_last_dot final : public console {
public:
    explicit console_acting_at_last_dot(std::function<void()> act) : act_(std::move(act)), scope_(*this) { }
    void write(const char* text, std::size_t length) override
    {
        output.append(text, length);
        if (output.size() >= LAST_DOT && act_) {
            act_();
            act_ = nullptr;
        }
    }
    int read_char() override { return EOF; }
    void unread_char(int /*c*/) override { }
    void wait_raw_key() override { }
    void write_reason(const char* text, std::size_t length) override { reasons.append(text, length); }

    static const std::size_t LAST_DOT;
    std::string output;
    std::string reasons;

private:
    std::function<void()> act_;
    console_scope scope_;
};

const std::size_t console_acting_at_last_dot::LAST_DOT = expected::reading_pages.size() + expected::dots.size();

// What the file's bytes are judges whether it stayed one version, not its times or its name.
TEST(ReadFirmwarePages, OneVersionJudgedByTheBytes)
{
    temp_dir dir;
    const std::string image = sample_image(5);
    const std::string other = sample_image(6);
    const auto write_in_place = [&other](const std::string& path) {
        const int fd = ::open(path.c_str(), O_WRONLY);
        ASSERT_GE(fd, 0);
        EXPECT_EQ(::pwrite(fd, other.data(), other.size(), 0), static_cast<ssize_t>(other.size()));
        ASSERT_EQ(::close(fd), 0);
    };
    struct row {
        const char* what;
        std::function<void(const std::string& path)> change;
        bool same;
    };
    const row rows[] = {
        {"nothing happens", [](const std::string&) {}, true},
        {"its mode changed", [](const std::string& path) { EXPECT_EQ(::chmod(path.c_str(), 0600), 0); }, true},
        {"a second link made",
            [](const std::string& path) { EXPECT_EQ(::link(path.c_str(), (path + ".2").c_str()), 0); }, true},
        {"another file renamed over its name",
            [&dir, &other](const std::string& path) {
                EXPECT_EQ(::rename(dir.write_file("new.bin", other).c_str(), path.c_str()), 0);
            },
            true},
        {"rewritten in place", write_in_place, false},
        {"rewritten in place, its times set back",
            [&write_in_place](const std::string& path) {
                struct stat found { };
                ASSERT_EQ(::stat(path.c_str(), &found), 0);
                write_in_place(path);
                const timespec times[2] = {found.st_atim, found.st_mtim};
                EXPECT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
            },
            false},
        {"grown by one byte",
            [](const std::string& path) {
                const int fd = ::open(path.c_str(), O_WRONLY | O_APPEND);
                ASSERT_GE(fd, 0);
                EXPECT_EQ(::write(fd, "x", 1), 1);
                ASSERT_EQ(::close(fd), 0);
            },
            false},
    };
    int n = 0;
    for (const auto& r : rows) {
        SCOPED_TRACE(r.what);
        const std::string path = dir.write_file("fw" + std::to_string(n++) + ".bin", image);
        std::FILE* file = std::fopen(path.c_str(), "rb");
        ASSERT_NE(file, nullptr);
        image_version before;
        ASSERT_FALSE(look_at_image(file, before));
        std::vector<unsigned char> buffer(IMAGE_SIZE);
        std::uint32_t page_count = 0;

        console_acting_at_last_dot con([&r, &path] { r.change(path); });
        const phase_result result = read_firmware_pages(file, path.c_str(), buffer.data(), page_count, &before);
        (void)std::fclose(file);
        EXPECT_EQ(std::string(buffer.begin(), buffer.end()), image) << "every page came from the first version";
        if (r.same) {
            EXPECT_EQ(result, phase_result::success);
            EXPECT_EQ(con.output, expected::loaded());
            EXPECT_EQ(con.reasons, "");
        } else {
            EXPECT_EQ(result, phase_result::failure);
            EXPECT_EQ(con.output, expected::reading_pages + expected::dots + "\n" + expected::unreadable);
            EXPECT_EQ(con.reasons, "tarvolo_updater: " + path + ": changed while it was read\n");
        }
    }
}

} // namespace
