#include <gtest/gtest.h>

#include <string>

#include "image/device_name.h"

namespace {

// What the Windows build refuses as an image before it opens anything: a device's name opened
// as a file would raise a port's modem lines and reset the device behind it.
TEST(WindowsDeviceName, ReservedNamesAndTheDeviceNamespaceAreNoFiles)
{
    struct row {
        const wchar_t* path;
        bool device;
    };
    const row rows[] = {
        {L"COM1", true},
        {L"com9", true},
        {L"CoM0", true},
        {L"LPT3", true},
        {L"COM\u00B9", true},
        {L"lpt\u00B3.bin", true},
        {L"AUX", true},
        {L"nul.txt", true},
        {L"CON.fw.bin", true},
        {L"PRN:", true},
        {L"conin$", true},
        {L"CONOUT$", true},
        {L"COM1 .", true},
        {L"COM1. ", true},
        {L"NUL  .bin", true},
        {L"C:\\images\\COM2.bin", true},
        {L"images/aux", true},
        {L"C:COM3", true},
        {L"\\\\.\\COM9", true},
        {L"//./com123", true},
        {L"\\\\?\\COM9", true},
        {L"\\??\\COM9", true},
        {L"\\\\.\\PhysicalDrive0", true},
        {L"\\\\.\\C:", true},
        {L"\\\\?\\GLOBALROOT\\Device\\Serial0", true},
        // Files, however close their names come.
        {L"fw.bin", false},
        {L"COM10", false},
        {L"COM", false},
        {L"COM\u00B4", false},
        {L"CONSOLE.bin", false},
        {L"AUXILIARY", false},
        {L" COM1", false},
        {L"COM1x.bin", false},
        {L"TVL_V6_FW_V3_7_2.bin", false},
        {L"C:\\COM1\\fw.bin", false},
        {L"\\\\.\\C:\\images\\fw.bin", false},
        {L"\\\\?\\C:\\fw.bin", false},
        {L"\\\\?\\UNC\\station\\share\\fw.bin", false},
        {L"\\\\station\\share\\fw.bin", false},
        {L"", false},
    };
    for (const auto& r : rows) {
        EXPECT_EQ(names_a_windows_device(r.path), r.device) << std::string(r.path, r.path + std::wcslen(r.path));
    }
}

} // namespace
