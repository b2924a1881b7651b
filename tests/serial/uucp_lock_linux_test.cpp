#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>

#include "common/process_text.h"
#include "serial/uucp_lock_linux.h"

namespace {

// Named as when they stood with the /proc texts, so that their ctest names stay.
TEST(ProcessText, PidInLockFile)
{
    std::string binary(sizeof(std::int32_t), '\0');
    const std::int32_t pid = 4242;
    std::memcpy(binary.data(), &pid, sizeof pid);
    struct row {
        const char* what;
        std::string content;
        long pid;
    };
    const row rows[] = {
        {"ten digits and a line feed", "      4242\n", 4242},
        {"no padding", "17\n", 17},
        {"binary", binary, 4242},
        {"four ASCII digits are text", "1234", 1234},
        {"empty", "", 0},
        {"zero", "         0\n", 0},
        {"negative", "-5\n", 0},
        {"eleven digits", "12345678901\n", 0},
        {"past the kernel's limit", "9999999999\n", 0},
        {"words", "minicom\n", 0},
    };
    for (const auto& r : rows) {
        EXPECT_EQ(pid_in_lock_file(r.content), r.pid) << r.what;
    }
}

TEST(ProcessText, LockFileNameAndDescription)
{
    EXPECT_EQ(lock_file_name("/dev/ttyS1"), "LCK..ttyS1");
    EXPECT_EQ(lock_file_name("/dev/pts/3"), "LCK..pts_3");
    EXPECT_EQ(lock_file_name("/dev/"), "");
    EXPECT_EQ(lock_file_name("/tmp/ttyS1"), "");
    EXPECT_EQ(describe({4242, "cp"}), "PID 4242, cp");
    EXPECT_EQ(describe({7, ""}), "PID 7");
}

} // namespace
