#pragma once

#include <cstdio>

// Closes a file the program opened when the scope that opened it ends, on every way out, unless
// it is handed on. Only for files read, never written: a failing close loses nothing there, so
// its answer is not asked for, here and nowhere else.

// A descriptor (POSIX, or the C runtime's on Windows); -1 holds nothing.
class descriptor_guard {
public:
    explicit descriptor_guard(int fd) : fd_(fd) { }
    ~descriptor_guard();
    descriptor_guard(const descriptor_guard&) = delete;
    descriptor_guard& operator=(const descriptor_guard&) = delete;

    int get() const { return fd_; }
    // Hands the descriptor on, no longer closed here.
    int release()
    {
        const int fd = fd_;
        fd_ = -1;
        return fd;
    }

private:
    int fd_;
};

// A C stream, closed with its descriptor; nullptr holds nothing.
class stream_guard {
public:
    explicit stream_guard(std::FILE* file) : file_(file) { }
    ~stream_guard()
    {
        if (file_ != nullptr) {
            (void)std::fclose(file_);
        }
    }
    stream_guard(const stream_guard&) = delete;
    stream_guard& operator=(const stream_guard&) = delete;

    std::FILE* get() const { return file_; }
    std::FILE* release()
    {
        std::FILE* file = file_;
        file_ = nullptr;
        return file;
    }

private:
    std::FILE* file_;
};
