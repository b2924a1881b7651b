#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <iterator>
#include <string>

#include "common/refusal.h"

// Opening the image file and measuring it, where platforms differ.

// What became of opening a name as an image.
enum class image_open {
    opened,
    // It cannot be read as a file at all (absent, no right to read it, a folder).
    unreadable,
    // It opened, or would have, but is no file whose size means anything (a pipe, a device).
    not_measurable,
};

struct opened_image {
    image_open outcome = image_open::unreadable;
    std::FILE* file = nullptr; // set only when opened; binary, read-only
    refusal why; // why not, for the reason line
};

// Opens `name` for reading without ever waiting for it: a named pipe with no writer must not hold
// the run, and the port with it, until someone kills it. On Windows `name` is in UTF-8, whatever
// code page it was typed in.
opened_image open_image_file(const char* name);

// Whether `name` names a file that exists, looked at without opening anything: a device name is
// never one, nor a folder.
bool names_an_existing_file(const char* name);

// Which file an open image is, and its size, at one moment. A look before the first page and one
// after the last must agree; whether the bytes stayed the same is judged by the bytes themselves
// (read again), as timestamps are too coarse to see a writer and move on changes that leave the
// bytes alone (a chmod, a second link).
struct image_version {
    static constexpr int MARKS = 3;
    std::uint64_t marks[MARKS] = {};
    // Writers were kept waiting (a lease on Linux) when it was looked at. Not one of the marks:
    // the look after the last page asks writer_let_in instead.
    bool writers_kept_out = false;

    bool operator==(const image_version& other) const
    {
        return std::equal(std::begin(marks), std::end(marks), std::begin(other.marks));
    }
    bool operator!=(const image_version& other) const { return !(*this == other); }
};

// Looks at the open `file`; refused when it cannot be looked at (no file behind the stream).
refusal look_at_image(std::FILE* file, image_version& version);

// Refused when the bytes of `file` may have been written since `before` although writers were
// kept out then: the wait that the kernel gives a writer ran out, and the writer went on while
// the image was still being read, so that the file itself, read again, agrees with the mix.
// Nothing while writers are still kept waiting, and whenever `before` kept none out.
refusal writer_let_in(std::FILE* file, const image_version& before);

// Drops what the system keeps of the file's contents in memory, so that the next read asks the
// file's source: a network share's or a FUSE file system's client may keep pages that its server
// has since changed.
void forget_cached_pages(std::FILE* file);

// The full size of an open image, in 64 bits on every build (a file past 4 GiB must not measure
// as its remainder), with the stream back at its start; refused when it cannot be taken.
refusal measure_size(std::FILE* file, std::int64_t& size);
