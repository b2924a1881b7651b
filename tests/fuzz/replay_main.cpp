// Replays corpus files through a fuzz target without libFuzzer, so that every compiler and every
// CTest run checks the seeds and the regressions kept beside them.

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <system_error>
#include <vector>

#include "fuzz_check.h"

namespace {

namespace fs = std::filesystem;

bool read_whole(const fs::path& path, std::vector<std::uint8_t>& contents)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return false;
    }
    contents.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return !in.bad();
}

// Directories give their regular files (not recursively), in name order so that runs compare.
bool collect(const fs::path& argument, std::vector<fs::path>& files)
{
    std::error_code error;
    if (fs::is_regular_file(argument, error)) {
        files.push_back(argument);
        return true;
    }
    if (!fs::is_directory(argument, error)) {
        std::fprintf(stderr, "not a file or directory: %s\n", argument.string().c_str());
        return false;
    }
    std::vector<fs::path> found;
    for (fs::directory_iterator it(argument, error), end; !error && it != end; it.increment(error)) {
        if (it->is_regular_file(error)) {
            found.push_back(it->path());
        }
    }
    if (error) {
        std::fprintf(stderr, "cannot list %s: %s\n", argument.string().c_str(), error.message().c_str());
        return false;
    }
    std::sort(found.begin(), found.end());
    files.insert(files.end(), found.begin(), found.end());
    return true;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s FILE_OR_DIR...\n", argv[0]);
        return 2;
    }
    std::vector<fs::path> files;
    bool listed = true;
    for (int i = 1; i < argc; ++i) {
        listed = collect(argv[i], files) && listed;
    }
    int passed = 0;
    int failed = listed ? 0 : 1;
    std::vector<std::uint8_t> contents;
    for (const fs::path& file : files) {
        const std::string name = file.string();
        if (!read_whole(file, contents)) {
            std::fprintf(stderr, "cannot read %s\n", name.c_str());
            ++failed;
            continue;
        }
        fuzz_current_input = name.c_str();
        // A property violation aborts inside the call; returning at all means the input passed.
        (void)LLVMFuzzerTestOneInput(contents.data(), contents.size());
        fuzz_current_input = nullptr;
        ++passed;
    }
    // An empty or mistyped corpus path must not pass as "nothing failed".
    if (files.empty()) {
        std::fprintf(stderr, "no inputs found\n");
        ++failed;
    }
    std::printf("%d passed, %d failed\n", passed, failed);
    return failed == 0 ? 0 : 1;
}
