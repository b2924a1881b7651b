#include "common/close_guard.h"

#include <unistd.h> // MinGW-w64 has it too, with the C runtime's close

descriptor_guard::~descriptor_guard()
{
    if (fd_ >= 0) {
        (void)::close(fd_); // on Windows the handle behind it goes with it
    }
}
