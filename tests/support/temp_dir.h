#pragma once

#include <string>

// A fresh directory under the system's temporary directory, removed with everything in it.
struct temp_dir {
    temp_dir();
    ~temp_dir();
    temp_dir(const temp_dir&) = delete;
    temp_dir& operator=(const temp_dir&) = delete;

    // Writes `contents` to `name` inside the directory and returns the file's path.
    std::string write_file(const std::string& name, const std::string& contents) const;

    std::string path;
};

// The whole of a file; "" when it cannot be read.
std::string read_file(const std::string& path);

// 491,520 bytes that differ from page to page and within each page.
std::string sample_image(unsigned seed = 1);
