#pragma once

#include <optional>
#include <string>

#include "support/process.h"

// A FUSE file system of one file, fw.bin, mounted at `dir`/fuse for one test and served by
// fuse_image_server.py, the file's bytes from `first_file`. With `then_file`, every read after the
// first is answered from it instead, the size and times unchanged: a server whose file changed
// behind its clients' cached pages. Needs root, /dev/fuse and Debian's python3-fusepy.
class fuse_image {
public:
    fuse_image(const std::string& dir, const std::string& first_file, const std::string& then_file = {});
    // Lets a stopped server go on, then unmounts and ends it: nothing may be left that a later
    // look at a process's files would wait on.
    ~fuse_image();
    fuse_image(const fuse_image&) = delete;
    fuse_image& operator=(const fuse_image&) = delete;

    // Why no such file system can be served here; empty when it can.
    static std::string unavailable();

    // Stops the server (SIGSTOP), as a hung one: whatever asks it from now on waits, a process
    // that closes a file on it included.
    void stop();
    // Lets a stopped server go on.
    void go_on();

    std::string file; // the mounted fw.bin; empty when it did not come up
    std::string mountpoint;

private:
    std::optional<child_process> server_;
    bool stopped_ = false;
};
