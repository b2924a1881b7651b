#include "serial/device_path.h"

#include "serial/port_name.h"

std::string posix_device_path(const char* name, const char* com_dir)
{
    const int n = comport_number_of(name);
    if (n == 0) {
        return {};
    }
    // Set but empty is as good as unset: "/com5" at the root is nobody's port.
    if (com_dir != nullptr && com_dir[0] != '\0') {
        std::string folder(com_dir);
        // "/dev/serial/" must not show as "/dev/serial//com5" in a reason line.
        while (!folder.empty() && folder.back() == '/') {
            folder.pop_back();
        }
        return folder + "/com" + std::to_string(n);
    }
    return "/dev/ttyS" + std::to_string(n - 1);
}
