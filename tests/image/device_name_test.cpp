#include <gtest/gtest.h>

#include <cwchar>
#include <string>

#include "image/device_name.h"

namespace {

std::string shown(const wchar_t* path) { return {path, path + std::wcslen(path)}; }

// What the Windows build refuses as an image before it opens anything: a device's name opened
// as a file would raise a port's modem lines and reset the device behind it.
TEST(WindowsDeviceName, ReservedNamesAndTheDeviceNamespaceAreNoFiles)
{
    const wchar_t* const devices[] = {L"COM1", L"com9", L"CoM0", L"LPT3", L"COM\u00B9", L"lpt\u00B3.bin", L"AUX",
        L"nul.txt", L"CON.fw.bin", L"PRN:", L"conin$", L"CONOUT$", L"COM1 .", L"COM1. ", L"NUL  .bin",
        L"C:\\images\\COM2.bin", L"images/aux", L"C:COM3", L"\\\\.\\COM9", L"//./com123", L"\\\\?\\COM9", L"\\??\\COM9",
        L"\\\\.\\PhysicalDrive0", L"\\\\.\\C:", L"\\\\?\\GLOBALROOT\\Device\\Serial0",
        // The root of a device path is the namespace: ".." climbs over the drive to what stands there.
        L"\\\\.\\C:\\..\\COM12", L"\\\\.\\C:\\..\\x", L"//./C:/../COM3", L"\\\\.\\C:\\images\\..\\..\\PhysicalDrive0",
        L"\\\\.\\C:\\\\.\\..\\COM4", L"\\\\.\\C:\\",
        // A volume without a letter is a device itself, and so is anything that only looks like one.
        L"\\\\?\\Volume{26a21bda-a627-11d7-9931-806e6f6e6963}\\",
        L"\\\\?\\Volume{26a21bda-a627-11d7-9931-806e6f6e6963}",
        L"\\\\?\\Volume{26a21bda-a627-11d7-9931-806e6f6e696}\\fw.bin",
        L"\\\\?\\Volume{26a21bdaa627-11d7-9931-806e6f6e69634}\\fw.bin", L"\\\\?\\Volume{COM9}\\fw.bin"};
    for (const wchar_t* path : devices) {
        EXPECT_TRUE(names_a_windows_device(path)) << shown(path);
    }
    // Files, however close their names come.
    const wchar_t* const files[] = {L"fw.bin", L"COM10", L"COM", L"COM\u00B4", L"CONSOLE.bin", L"AUXILIARY", L" COM1",
        L"COM1x.bin", L"TVL_V6_FW_V3_7_2.bin", L"C:\\COM1\\fw.bin", L"\\\\.\\C:\\images\\fw.bin", L"\\\\?\\C:\\fw.bin",
        L"\\\\?\\UNC\\station\\share\\fw.bin", L"\\\\station\\share\\fw.bin", L"", L"\\\\.\\C:\\images\\..\\fw.bin",
        L"\\\\.\\COM12\\..\\C:\\fw.bin",
        // Not resolved by Windows: the file system is asked for ".." on the drive, which is no device.
        L"\\\\?\\C:\\..\\x",
        // Taken literally, reserved names and all: the file on the drive or the share.
        L"\\\\?\\C:\\t\\com1.bin", L"\\??\\C:\\t\\NUL", L"\\\\?\\UNC\\station\\share\\aux.bin",
        // A volume mounted without a letter, as mountvol lists it.
        L"\\\\?\\Volume{26a21bda-a627-11d7-9931-806e6f6e6963}\\fw.bin",
        L"\\\\?\\volume{26A21BDA-A627-11D7-9931-806E6F6E6963}\\t\\com1.bin"};
    for (const wchar_t* path : files) {
        EXPECT_FALSE(names_a_windows_device(path)) << shown(path);
    }
}

} // namespace
