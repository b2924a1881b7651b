#include "image/image_stream.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <optional>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <utility>

#include "common/close_guard.h"
#include "common/process_scan_linux.h"
#include "common/refusal.h"

static_assert(sizeof(off_t) == 8, "a file past 2 GiB needs a 64-bit off_t");
static_assert(sizeof(time_t) == 8, "a file dated after 2038 needs a 64-bit time_t");

namespace {

constexpr char REASON_NOT_REGULAR[] = "not a regular file";
constexpr char REASON_BEING_WRITTEN[] = "being written by another program";

// Why a file of this type is no image: refused for anything but a regular file.
refusal refusal_of_type(mode_t mode)
{
    if (S_ISDIR(mode)) {
        return refusal::of_errno(EISDIR);
    }
    return S_ISREG(mode) ? refusal() : refusal(REASON_NOT_REGULAR);
}

opened_image refused(mode_t mode)
{
    return {S_ISDIR(mode) ? image_open::unreadable : image_open::not_measurable, nullptr, refusal_of_type(mode)};
}

opened_image failed(int error) { return {image_open::unreadable, nullptr, refusal::of_errno(error)}; }

// Refused when the file `file` is being written, naming the writer where /proc shows it;
// `writer_seen`: the kernel said that there is one even if /proc shows none.
refusal writer_of(const struct stat& file, bool writer_seen)
{
    const std::optional<other_program> writer = file_writer(file.st_dev, file.st_ino);
    if (writer) {
        return refusal(std::string(REASON_BEING_WRITTEN) + " (" + describe(*writer) + ")");
    }
    return writer_seen ? refusal(REASON_BEING_WRITTEN) : refusal();
}

// Refused when the image open on `fd` must not be read now: another program is writing it (a
// copy in place that has not finished, a download that set the size first), so the bytes read
// would be a mix of two versions, or half of one.
refusal being_written(int fd, const struct stat& file)
{
    // A read lease is granted only while nobody has the file open for writing, and a writer that
    // comes later waits until it is given back, which closing the image does once its bytes are
    // read and checked. The kernel announces such a writer with SIGIO, whose default would end
    // the run: the announcement is ignored, the writer simply waits.
#if defined(F_SETLEASE)
    (void)std::signal(SIGIO, SIG_IGN);
    if (::fcntl(fd, F_SETLEASE, F_RDLCK) == 0) {
        return refusal();
    }
#else
    errno = ENOSYS;
#endif
    // Refused for a writer, or not to be had at all: another user's file without CAP_LEASE, a
    // file system without leases. The writers that /proc shows are then looked for by hand.
    return writer_of(file, errno == EAGAIN);
}

// How long the kernel lets a lease's holder keep a reader or a writer waiting, in seconds.
long lease_break_seconds()
{
    constexpr long KERNEL_DEFAULT = 45;
    const std::string text = start_of_file(AT_FDCWD, "/proc/sys/fs/lease-break-time");
    char* end = nullptr;
    const long seconds = std::strtol(text.c_str(), &end, 10);
    return end != text.c_str() && seconds >= 0 ? seconds : KERNEL_DEFAULT;
}

// Opens `name` for reading without waiting for a writer, as a named pipe would have it do. A
// file with another program's lease (a file server's oplock) refuses such an open while the
// holder is asked to give the lease up: that wait is taken as any reader takes it, up to the
// time the kernel allows the holder.
int open_without_waiting(const char* name)
{
    using clock = std::chrono::steady_clock;
    constexpr std::chrono::milliseconds RETRY{20};
    std::optional<clock::time_point> limit;
    for (;;) {
        const int fd = ::open(name, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
        if (fd >= 0 || errno != EWOULDBLOCK) {
            return fd;
        }
        if (!limit) {
            limit = clock::now() + std::chrono::seconds(lease_break_seconds()) + std::chrono::seconds(1);
        } else if (clock::now() >= *limit) {
            errno = EWOULDBLOCK;
            return -1;
        }
        std::this_thread::sleep_for(RETRY);
    }
}

} // namespace

opened_image open_image_file(const char* name)
{
    // Looked at before it is opened: opening a device can have effects of its own (a serial
    // line's modem lines, a tape's rewind), and a pipe's opening waits for a writer.
    struct stat found { };
    if (::stat(name, &found) != 0) {
        return failed(errno);
    }
    if (refusal_of_type(found.st_mode)) {
        return refused(found.st_mode);
    }
    // Without waiting all the same: the name may stand for something else by now.
    descriptor_guard fd(open_without_waiting(name));
    if (fd.get() < 0) {
        return failed(errno);
    }
    struct stat opened { };
    if (::fstat(fd.get(), &opened) != 0) {
        return failed(errno);
    }
    if (refusal_of_type(opened.st_mode)) {
        return refused(opened.st_mode);
    }
    if (refusal writing = being_written(fd.get(), opened)) {
        return {image_open::unreadable, nullptr, std::move(writing)};
    }
    std::FILE* file = ::fdopen(fd.get(), "rb");
    if (file == nullptr) {
        return failed(errno);
    }
    (void)fd.release(); // the stream closes it now
    return {image_open::opened, file, {}};
}

bool names_an_existing_file(const char* name)
{
    struct stat found { };
    return ::stat(name, &found) == 0 && S_ISREG(found.st_mode);
}

refusal look_at_image(std::FILE* file, image_version& version)
{
    const int fd = ::fileno(file);
    struct stat now { };
    if (fd < 0 || ::fstat(fd, &now) != 0) {
        return refusal::of_errno(fd < 0 ? EBADF : errno);
    }
    const std::uint64_t marks[image_version::MARKS] = {static_cast<std::uint64_t>(now.st_dev),
        static_cast<std::uint64_t>(now.st_ino), static_cast<std::uint64_t>(now.st_size)};
    std::copy(std::begin(marks), std::end(marks), std::begin(version.marks));
#if defined(F_GETLEASE)
    version.writers_kept_out = ::fcntl(fd, F_GETLEASE) == F_RDLCK;
#endif
    return refusal();
}

refusal writer_let_in(std::FILE* file, const image_version& before)
{
    if (!before.writers_kept_out) {
        return refusal();
    }
    const int fd = ::fileno(file);
#if defined(F_GETLEASE)
    if (::fcntl(fd, F_GETLEASE) == F_RDLCK) {
        return refusal();
    }
#endif
    // While a writer waits, the lease is being broken and no longer says F_RDLCK, yet it is still
    // listed with the descriptor and still keeps the writer out: the bytes read are one version.
    // Once its time has run out it is gone, and the writer may have written meanwhile.
    if (fdinfo_holds_lease(start_of_file(AT_FDCWD, ("/proc/self/fdinfo/" + std::to_string(fd)).c_str()))) {
        return refusal();
    }
    struct stat now { };
    if (::fstat(fd, &now) != 0) {
        return refusal(REASON_BEING_WRITTEN);
    }
    return writer_of(now, true);
}

void forget_cached_pages(std::FILE* file)
{
    const int fd = ::fileno(file);
    if (fd >= 0) {
        // Advice only: a file system that keeps nothing, or refuses, is read as it is.
        (void)::posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
    }
}

refusal measure_size(std::FILE* file, std::int64_t& size)
{
    off_t end = -1;
    if (::fseeko(file, 0, SEEK_END) != 0 || (end = ::ftello(file)) < 0 || ::fseeko(file, 0, SEEK_SET) != 0) {
        return refusal::of_errno(errno);
    }
    size = end;
    return refusal();
}
