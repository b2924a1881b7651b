#pragma once

#include <fstream>
#include <string>

// An initramfs as the kernel unpacks it: a cpio archive in the "newc" format, uncompressed
// (the guest's kernel then spends no time on decompression, which is slow without KVM).
class initramfs_writer {
public:
    explicit initramfs_writer(const std::string& path);
    ~initramfs_writer();
    initramfs_writer(const initramfs_writer&) = delete;
    initramfs_writer& operator=(const initramfs_writer&) = delete;

    void directory(const std::string& name, unsigned mode = 0755);
    void file(const std::string& name, const std::string& contents, unsigned mode = 0644);
    void char_device(const std::string& name, unsigned major, unsigned minor, unsigned mode);
    // Writes the trailer; throws if anything could not be written.
    void finish();

private:
    void entry(const std::string& name, unsigned mode, const std::string& data, unsigned major = 0, unsigned minor = 0);

    std::string path_;
    std::ofstream out_;
    unsigned next_inode_ = 1;
};

// The whole contents of a file; throws when it cannot be read.
std::string file_contents(const std::string& path);
