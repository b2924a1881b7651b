#pragma once

#include <string>

// Reading small files, links and paths without ever waiting for them, for every look at the
// system that a Linux build takes (/proc, sysfs, lock files).

// The first kilobyte of a small file below the folder `dir` (AT_FDCWD: the current one), without
// waiting for it; empty when it cannot be read (a process ended meanwhile, no such lock).
std::string start_of_file(int dir, const char* path);

// The target of the link `path`, however long; empty when `path` is no link.
std::string link_target(const std::string& path);

// `path` with every link and ".." resolved; empty when it leads nowhere.
std::string real_path(const std::string& path);

// The whole of a file that the kernel writes as it is read, however long; empty when it cannot be
// read.
std::string whole_file(const char* path);
