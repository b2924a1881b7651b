#include "support/fuse_image.h"

#include <chrono>
#include <csignal>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using namespace std::chrono_literals;

// Debian's interpreter, whose packages hold the binding: another python3 first on the PATH (a
// version manager's) would not have it.
constexpr char DEBIAN_PYTHON[] = "/usr/bin/python3";
constexpr char BINDING[] = "/usr/lib/python3/dist-packages/fusepy.py";

bool exists(const char* path)
{
    struct stat found { };
    return ::stat(path, &found) == 0;
}

} // namespace

std::string fuse_image::unavailable()
{
    if (::geteuid() != 0) {
        return "mounting a FUSE file system here needs root";
    }
    if (!exists("/dev/fuse")) {
        return "no /dev/fuse";
    }
    if (!exists(DEBIAN_PYTHON) || !exists(BINDING)) {
        return "the FUSE server needs python3-fusepy";
    }
    return {};
}

fuse_image::fuse_image(const std::string& dir, const std::string& first_file, const std::string& then_file)
    : mountpoint(dir + "/fuse")
{
    (void)::mkdir(mountpoint.c_str(), 0755);
    process_options options;
    options.argv = {DEBIAN_PYTHON, TARVOLO_FUSE_IMAGE_SERVER, mountpoint, first_file};
    if (!then_file.empty()) {
        options.argv.push_back(then_file);
    }
    server_.emplace(child_process::start_detached(options));
    const std::string served = mountpoint + "/fw.bin";
    if (wait_until([&served] { return exists(served.c_str()); }, 10s)) {
        file = served;
    }
}

void fuse_image::stop()
{
    if (::kill(server_->pid, SIGSTOP) == 0) {
        stopped_ = true;
    }
}

void fuse_image::go_on()
{
    if (stopped_ && ::kill(server_->pid, SIGCONT) == 0) {
        stopped_ = false;
    }
}

fuse_image::~fuse_image()
{
    go_on();
    // Detached: a file still open on it keeps the server's work alive, never the test's.
    (void)::umount2(mountpoint.c_str(), MNT_DETACH);
    (void)::kill(server_->pid, SIGTERM);
    (void)server_->wait(10s);
}
