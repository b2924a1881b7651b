#include "image/image_stream.h"

#include <cerrno>
#include <cstring>

opened_image open_image_file(const char* name)
{
    // A folder or a device name cannot be opened as a file here, and nothing waits on a pipe.
    std::FILE* file = std::fopen(name, "rb");
    if (file == nullptr) {
        return {image_open::unreadable, nullptr, std::strerror(errno)};
    }
    return {image_open::opened, file, {}};
}

std::int64_t measure_size(std::FILE* file)
{
    // ftell's long has 32 bits here: a file of 4 GiB and one image would measure as the image.
    if (::_fseeki64(file, 0, SEEK_END) != 0) {
        return -1;
    }
    const std::int64_t size = ::_ftelli64(file);
    if (::_fseeki64(file, 0, SEEK_SET) != 0) {
        return -1;
    }
    return size;
}
