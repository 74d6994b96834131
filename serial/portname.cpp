#include "serial/portname.h"

#include <filesystem>
#include <system_error>

long ComNumberOfPortName(const std::string& name)
{
    std::string rest = name;
    if (rest.rfind("\\\\.\\", 0) == 0) {
        rest.erase(0, 4);
    }
    if (rest.size() < 4 || rest.compare(0, 3, "COM") != 0) {
        return -1;
    }
    rest.erase(0, 3);
    if (rest.empty() || rest.size() > 9) {
        return -1;
    }
    long number = 0;
    for (const char c : rest) {
        if (c < '0' || c > '9') {
            return -1;
        }
        number = number * 10 + (c - '0');
    }
    return number;
}

std::string DeviceForPortName(const std::string& name, const std::string& keptDirectory)
{
    const long number = ComNumberOfPortName(name);
    if (number < 0) {
        return name;
    }
    namespace fs = std::filesystem;
    std::error_code ec;
    const fs::path link = fs::path(keptDirectory) / "ports" / ("COM" + std::to_string(number));
    // A link that exists is used even when its target is gone, so that the
    // user is told about the device the link names, not about ttyS.
    // There is no serial device before ttyS0: COM0 names only its link.
    if (number < 1 || (fs::symlink_status(link, ec).type() != fs::file_type::not_found && !ec)) {
        return link.string();
    }
    return "/dev/ttyS" + std::to_string(number - 1);
}
