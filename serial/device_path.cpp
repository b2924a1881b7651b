#include "serial/device_path.h"

#include "serial/port_name.h"

std::string posix_device_path(const char* name, const char* com_dir)
{
    const int n = comport_number_of(name);
    if (n == 0) {
        return {};
    }
    if (com_dir != nullptr) {
        return std::string(com_dir) + "/com" + std::to_string(n);
    }
    return "/dev/ttyS" + std::to_string(n - 1);
}
