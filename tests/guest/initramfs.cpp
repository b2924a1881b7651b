#include "guest/initramfs.h"

#include <cstdio>
#include <iterator>
#include <stdexcept>
#include <sys/stat.h>

namespace {

// Header fields and file data are each padded to a multiple of four bytes.
std::string padding(std::size_t length) { return std::string((4 - length % 4) % 4, '\0'); }

} // namespace

initramfs_writer::initramfs_writer(const std::string& path) : path_(path), out_(path, std::ios::binary)
{
    if (!out_) {
        throw std::runtime_error("cannot create " + path);
    }
}

initramfs_writer::~initramfs_writer() = default;

void initramfs_writer::directory(const std::string& name, unsigned mode) { entry(name, S_IFDIR | mode, {}); }

void initramfs_writer::file(const std::string& name, const std::string& contents, unsigned mode)
{
    entry(name, S_IFREG | mode, contents);
}

void initramfs_writer::char_device(const std::string& name, unsigned major, unsigned minor, unsigned mode)
{
    entry(name, S_IFCHR | mode, {}, major, minor);
}

void initramfs_writer::finish()
{
    entry("TRAILER!!!", 0, {});
    out_.close();
    if (!out_) {
        throw std::runtime_error("cannot write " + path_);
    }
}

void initramfs_writer::entry(
    const std::string& name, unsigned mode, const std::string& data, unsigned major, unsigned minor)
{
    // Everything belongs to root; ownership for the guest's users is set by its init script.
    const unsigned long fields[] = {next_inode_++, mode, 0, 0, (mode & S_IFMT) == S_IFDIR ? 2UL : 1UL, 0, data.size(),
        0, 0, major, minor, name.size() + 1, 0};
    std::string header = "070701";
    for (const unsigned long field : fields) {
        char hex[9];
        (void)std::snprintf(hex, sizeof hex, "%08lX", field);
        header += hex;
    }
    header += name;
    header += '\0';
    header += padding(header.size());
    out_ << header << data << padding(data.size());
}

std::string file_contents(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        throw std::runtime_error("cannot read " + path);
    }
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}
