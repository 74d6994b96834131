#pragma once

// A fake system for the COM map in a scratch folder: three device files,
// their /dev/serial/by-id names (and one that leads nowhere), an empty ports
// folder and an empty /proc. The map's roots point into it.

#include "serial/portmap.h"

#include <filesystem>
#include <fstream>
#include <string>

#include <unistd.h>

class FakePortTree {
public:
    explicit FakePortTree(const std::string& tag)
        : root(std::filesystem::temp_directory_path() / ("ostrelle-" + tag + "-" + std::to_string(::getpid())))
    {
        std::filesystem::remove_all(root);
        for (const char* device : {"ttyUSB0", "ttyUSB1", "ttyACM0"}) {
            WriteFile(root / "dev" / device, "");
        }
        // Made out of name order: the order of the folder must not matter.
        Link("../../ttyUSB1", root / "dev/serial/by-id/usb-Beta_UART-if00-port0");
        Link("../../ttyGONE", root / "dev/serial/by-id/usb-Gone-if00");
        Link("../../ttyUSB0", root / "dev/serial/by-id/usb-Alpha_FT232R_A50285BI-if00-port0");
        Link("../../ttyACM0", root / "dev/serial/by-id/usb-Gamma_CDC-if00");
        std::filesystem::create_directories(root / "proc");

        roots.portsDirectory = (root / "ports").string();
        roots.byIdDirectory = (root / "dev/serial/by-id").string();
        roots.procDirectory = (root / "proc").string();
        roots.devDirectory = (root / "dev").string();
        roots.sysTtyDirectory = (root / "sys/class/tty").string();
    }
    ~FakePortTree() { std::filesystem::remove_all(root); }

    FakePortTree(const FakePortTree&) = delete;
    FakePortTree& operator=(const FakePortTree&) = delete;

    static void WriteFile(const std::filesystem::path& path, const std::string& content)
    {
        std::filesystem::create_directories(path.parent_path());
        std::ofstream(path, std::ios::binary) << content;
    }

    static void Link(const std::filesystem::path& target, const std::filesystem::path& link)
    {
        std::filesystem::create_directories(link.parent_path());
        std::filesystem::create_symlink(target, link);
    }

    static std::string FirstLineOf(const std::filesystem::path& path)
    {
        std::ifstream in(path);
        std::string line;
        std::getline(in, line);
        return line;
    }

    std::string Dev(const char* name) const { return (root / "dev" / name).string(); }
    std::string ById(const char* name) const { return (root / "dev/serial/by-id" / name).string(); }
    std::filesystem::path Port(int number) const { return root / "ports" / ("COM" + std::to_string(number)); }

    const std::filesystem::path root;
    PortMapRoots roots;
};
