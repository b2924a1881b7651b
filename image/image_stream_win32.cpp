#include "image/image_stream.h"

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <fcntl.h>
#include <io.h>
#include <string>

#include "common/close_guard.h"
#include "common/refusal.h"
#include "common/windows_api.h"
#include "common/windows_text.h"
#include "image/device_name.h"

namespace {

constexpr char REASON_DEVICE[] = "a device, not a file";
constexpr char REASON_NOT_ON_A_DISK[] = "not a file on a disk";

// A \\?\ name (and its NT form \??\) goes to the file system as it stands; Windows resolves
// every other name first.
bool taken_literally(const std::wstring& name)
{
    return name.compare(0, 4, L"\\\\?\\") == 0 || name.compare(0, 4, L"\\??\\") == 0;
}

// The name as the file functions resolve it before they open it: against the current folder,
// with "." and ".." taken out and a reserved name turned into its device path. Empty when it
// cannot be resolved; the open then fails with the system's own reason.
std::wstring resolved(const std::wstring& name)
{
    const DWORD room = GetFullPathNameW(name.c_str(), 0, nullptr, nullptr);
    if (room == 0) {
        return {};
    }
    std::wstring full(room, L'\0');
    const DWORD length = GetFullPathNameW(name.c_str(), room, full.data(), nullptr);
    if (length == 0 || length >= room) {
        return {};
    }
    full.resize(length);
    return full;
}

// Checked on the name and on what Windows makes of it: "\\.\C:\..\COM12" names COM12, as the
// root of a device path is the namespace itself and ".." climbs over the drive.
bool names_a_device(const std::wstring& name)
{
    if (names_a_windows_device(name)) {
        return true;
    }
    return !taken_literally(name) && names_a_windows_device(resolved(name));
}

HANDLE handle_of(std::FILE* file)
{
    const int fd = ::_fileno(file);
    // The C library hands the handle out as an integer; there is no other way to it.
    return fd < 0 ? INVALID_HANDLE_VALUE
                  : reinterpret_cast<HANDLE>(::_get_osfhandle(fd)); // NOLINT(performance-no-int-to-ptr)
}

} // namespace

opened_image open_image_file(const char* name)
{
    // The wide name is the one checked and the one opened: the ANSI functions would read the
    // bytes in a code page of their own, and open another file than the one the operator typed.
    const std::wstring wide = wide_from(name, CP_UTF8);
    if (wide.empty()) {
        return {image_open::unreadable, nullptr, refusal(system_message(ERROR_INVALID_NAME))};
    }
    // Opening a serial port raises its modem lines and resets the device behind it, which may be
    // another station's: a device name is refused on its name alone, before anything is opened.
    if (names_a_device(wide)) {
        return {image_open::not_measurable, nullptr, refusal(REASON_DEVICE)};
    }
    // No other program may write the image while it is read: a build server's copy that lands
    // meanwhile would be flashed as a mix of two files. A file that another program already has
    // open for writing cannot be opened at all, as Windows itself says for a locked file.
    const HANDLE handle = CreateFileW(
        wide.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        return {image_open::unreadable, nullptr, refusal(system_message(GetLastError()))};
    }
    // A descriptor of the C runtime at once, which closes the handle with it from here on.
    descriptor_guard fd(::_open_osfhandle(reinterpret_cast<std::intptr_t>(handle), _O_RDONLY | _O_BINARY));
    if (fd.get() < 0) {
        const int error = errno;
        (void)CloseHandle(handle); // the one handle no descriptor holds
        return {image_open::unreadable, nullptr, refusal::of_errno(error)};
    }
    // The second guard: whatever the name turned out to stand for, only a file on a disk is an
    // image (not a console, a pipe or a port reached through a link).
    if (GetFileType(handle) != FILE_TYPE_DISK) {
        return {image_open::not_measurable, nullptr, refusal(REASON_NOT_ON_A_DISK)};
    }
    std::FILE* file = ::_fdopen(fd.get(), "rb");
    if (file == nullptr) {
        return {image_open::unreadable, nullptr, refusal::of_errno(errno)};
    }
    (void)fd.release(); // the stream closes it now
    return {image_open::opened, file, {}};
}

bool names_an_existing_file(const char* name)
{
    const std::wstring wide = wide_from(name, CP_UTF8);
    if (wide.empty() || names_a_device(wide)) {
        return false;
    }
    const DWORD attributes = GetFileAttributesW(wide.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

refusal look_at_image(std::FILE* file, image_version& version)
{
    // The locked file cannot be written by others, but one that another program had open before
    // (a share's server, a program that ignores sharing) can: which file it is and its size are
    // looked at as on every build, and its bytes are read again.
    BY_HANDLE_FILE_INFORMATION now{};
    if (GetFileInformationByHandle(handle_of(file), &now) == 0) {
        return refusal::of_errno(EIO);
    }
    const auto wide = [](DWORD high, DWORD low) {
        return (static_cast<std::uint64_t>(high) << 32) | static_cast<std::uint64_t>(low);
    };
    const std::uint64_t marks[image_version::MARKS] = {now.dwVolumeSerialNumber,
        wide(now.nFileIndexHigh, now.nFileIndexLow), wide(now.nFileSizeHigh, now.nFileSizeLow)};
    std::copy(std::begin(marks), std::end(marks), std::begin(version.marks));
    return refusal();
}

refusal measure_size(std::FILE* file, std::int64_t& size)
{
    // ftell's long has 32 bits here: a file of 4 GiB and one image would measure as the image.
    std::int64_t end = -1;
    if (::_fseeki64(file, 0, SEEK_END) != 0 || (end = ::_ftelli64(file)) < 0 || ::_fseeki64(file, 0, SEEK_SET) != 0) {
        return refusal::of_errno(errno);
    }
    size = end;
    return refusal();
}

refusal writer_let_in(std::FILE* /*file*/, const image_version& /*before*/)
{
    return refusal(); // the sharing mode keeps writers out for as long as the handle is open
}

void forget_cached_pages(std::FILE* /*file*/) { }
