#include <gtest/gtest.h>

#include <string>

#include "serial/device_path.h"
#include "serial/port_name.h"

namespace {

TEST(PortName, EachNumberGetsItsForm)
{
    struct row {
        int number;
        std::string name;
    };
    const row rows[] = {
        {1, "COM1"},
        {5, "COM5"},
        {9, "COM9"},
        {10, "\\\\.\\COM10"},
        {12, "\\\\.\\COM12"},
        {99, "\\\\.\\COM99"},
        {100, "\\\\.\\COM100"},
        {123, "\\\\.\\COM123"},
        {255, "\\\\.\\COM255"},
    };
    for (const auto& r : rows) {
        comport_names names;
        const char* name = build_comport_name(names, r.number);
        ASSERT_NE(name, nullptr) << r.number;
        EXPECT_EQ(std::string(name), r.name) << r.number;
        EXPECT_EQ(comport_number_of(name), r.number) << r.name;
    }
}

TEST(PortName, BuffersStartAsTheirPrefixes)
{
    const comport_names names;
    EXPECT_EQ(std::string(names.name_comport), std::string("\\\\.\\COM"));
    EXPECT_EQ(std::string(names.name_comport), std::string({'\\', '\\', '.', '\\', 'C', 'O', 'M'}));
    EXPECT_EQ(std::string(names.name_comport_short), "COM");
}

TEST(PortName, ShorterNumberAfterLongerLeavesNoDigitBehind)
{
    comport_names names;
    ASSERT_NE(build_comport_name(names, 123), nullptr);
    EXPECT_EQ(std::string(build_comport_name(names, 45)), "\\\\.\\COM45");
}

TEST(PortName, NumbersOutsideTheRangeHaveNoName)
{
    for (const int n : {0, -1, 256, 1000, INT32_MIN, INT32_MAX}) {
        comport_names names;
        EXPECT_EQ(build_comport_name(names, n), nullptr) << n;
    }
}

TEST(PortName, OnlyWellFormedNamesHaveANumber)
{
    for (const char* name : {"", "COM", "COM0", "COM10", "\\\\.\\COM5", "\\\\.\\COM256", "\\\\.\\COM012", "com5",
             "COM5x", "\\\\.\\COM1000", "\\\\?\\COM12", "LPT1"}) {
        EXPECT_EQ(comport_number_of(name), 0) << name;
    }
    EXPECT_EQ(comport_number_of(nullptr), 0);
}

TEST(DevicePath, ComDirectoryOrLegacyNumbering)
{
    struct row {
        const char* name;
        const char* com_dir;
        std::string path;
    };
    const row rows[] = {
        {"COM5", "/tmp/ports", "/tmp/ports/com5"},
        {"\\\\.\\COM12", "/tmp/ports", "/tmp/ports/com12"},
        {"\\\\.\\COM123", "/tmp/ports", "/tmp/ports/com123"},
        {"COM1", nullptr, "/dev/ttyS0"},
        {"COM9", nullptr, "/dev/ttyS8"},
        {"\\\\.\\COM255", nullptr, "/dev/ttyS254"},
        {"LPT1", "/tmp/ports", ""},
        {"COM0", nullptr, ""},
        {"COM5", "", "/dev/ttyS4"},
        {"COM5", "/dev/serial/", "/dev/serial/com5"},
        {"COM5", "/tmp//", "/tmp/com5"},
        {"COM5", "/", "/com5"},
    };
    for (const auto& r : rows) {
        EXPECT_EQ(posix_device_path(r.name, r.com_dir), r.path) << r.name;
    }
}

} // namespace
