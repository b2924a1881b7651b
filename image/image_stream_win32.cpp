#include "image/image_stream.h"

#include <cerrno>
#include <cstring>
#include <io.h>
#include <share.h>
#include <string>

#include "common/windows_api.h"
#include "image/device_name.h"

namespace {

// The name as the file system will see it: the C library hands it to the ANSI file functions,
// which read it in the ANSI code page (the OEM one after SetFileApisToOEM, which this program
// never calls). Superscript digits are single bytes there, not the console's.
std::wstring as_file_system_name(const char* name)
{
    const UINT code_page = AreFileApisANSI() ? CP_ACP : CP_OEMCP;
    const int length = MultiByteToWideChar(code_page, 0, name, -1, nullptr, 0);
    if (length <= 0) {
        return {};
    }
    std::wstring wide(static_cast<std::size_t>(length), L'\0');
    (void)MultiByteToWideChar(code_page, 0, name, -1, wide.data(), length);
    wide.resize(static_cast<std::size_t>(length - 1)); // without the terminating zero
    return wide;
}

HANDLE handle_of(std::FILE* file)
{
    const int fd = ::_fileno(file);
    return fd < 0 ? INVALID_HANDLE_VALUE : reinterpret_cast<HANDLE>(::_get_osfhandle(fd));
}

} // namespace

opened_image open_image_file(const char* name)
{
    // Opening a serial port raises its modem lines and resets the device behind it, which may be
    // another station's: a device name is refused on its name alone, before anything is opened.
    if (names_a_windows_device(as_file_system_name(name))) {
        return {image_open::not_measurable, nullptr, "a device, not a file"};
    }
    // No other program may write the image while it is read: a build server's copy that lands
    // meanwhile would be flashed as a mix of two files. A file that another program already has
    // open for writing cannot be opened at all, as Windows itself says for a locked file.
    std::FILE* file = ::_fsopen(name, "rb", _SH_DENYWR);
    if (file == nullptr) {
        return {image_open::unreadable, nullptr, std::strerror(errno)};
    }
    // The second guard: whatever the name turned out to stand for, only a file on a disk is an
    // image (not a console, a pipe or a port reached through a link).
    if (GetFileType(handle_of(file)) != FILE_TYPE_DISK) {
        (void)std::fclose(file); // read-only: a failing close loses nothing
        return {image_open::not_measurable, nullptr, "not a file on a disk"};
    }
    return {image_open::opened, file, {}};
}

bool look_at_image(std::FILE* file, image_version& version)
{
    // The locked file cannot be written by others, but one that another program had open before
    // (a share's server, a program that ignores sharing) can: which file it is and its size are
    // looked at as on every build, and its bytes are read again.
    BY_HANDLE_FILE_INFORMATION now{};
    if (GetFileInformationByHandle(handle_of(file), &now) == 0) {
        errno = EIO;
        return false;
    }
    const auto wide = [](DWORD high, DWORD low) {
        return (static_cast<std::uint64_t>(high) << 32) | static_cast<std::uint64_t>(low);
    };
    const std::uint64_t marks[image_version::MARKS] = {now.dwVolumeSerialNumber,
        wide(now.nFileIndexHigh, now.nFileIndexLow), wide(now.nFileSizeHigh, now.nFileSizeLow)};
    std::copy(std::begin(marks), std::end(marks), std::begin(version.marks));
    return true;
}

std::int64_t measure_size(std::FILE* file)
{
    // ftell's long has 32 bits here: a file of 4 GiB and one image would measure as the image.
    if (::_fseeki64(file, 0, SEEK_END) != 0) {
        return -1;
    }
    const std::int64_t size = ::_ftelli64(file);
    if (::_fseeki64(file, 0, SEEK_SET) != 0) {
        return -1;
    }
    return size;
}
