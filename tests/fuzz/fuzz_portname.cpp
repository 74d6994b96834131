// Port names and the contents of the ports/COM<n> link are the user's: any
// bytes must give a device name and nothing else, never a crash.

#include "serial/portname.h"

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <system_error>

#include <unistd.h>

namespace fs = std::filesystem;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static const fs::path dir = fs::temp_directory_path() / ("ostrelle-fuzz-" + std::to_string(::getpid()));
    // Gone again when the run ends, with whatever links the inputs left.
    struct RemoveAtExit {
        fs::path path;
        ~RemoveAtExit()
        {
            std::error_code ec;
            fs::remove_all(path, ec);
        }
    };
    static const RemoveAtExit cleanup{dir};
    static const bool made = [] {
        std::error_code ec;
        fs::create_directories(dir / "ports", ec);
        return !ec;
    }();
    if (!made) {
        return 0;
    }
    // The input is "<name>\0<link target>".
    const std::string input(reinterpret_cast<const char*>(data), size);
    const size_t cut = input.find('\0');
    const std::string name = input.substr(0, cut);
    const std::string target = cut == std::string::npos ? std::string() : input.substr(cut + 1);

    const long number = ComNumberOfPortName(name);
    if (number < -1) {
        std::abort();
    }
    std::error_code ec;
    const fs::path link = dir / "ports" / ("COM" + std::to_string(number < 0 ? 1 : number));
    fs::remove(link, ec);
    if (!target.empty() && target.find('\0') == std::string::npos) {
        fs::create_symlink(target, link, ec);
    }
    const std::string device = DeviceForPortName(name, dir.string());
    if (number < 0 && device != name) {
        std::abort(); // names that are not COM<n> pass through untouched
    }
    if (number >= 0 && device.empty()) {
        std::abort();
    }
    fs::remove(link, ec);
    return 0;
}
