#pragma once

// Which port ostrellectl opens: the one named by --port, else the COM number
// on the first line of the panel's Ostrelle.cfg, else COM 1. A COM number is
// mapped as the front panel maps it (its ports/COM<n>, else the system's
// device). Both files are in the folder of kept files (keptfiles.h).

#include <string>

namespace cli {

inline constexpr long HIGHEST_COM_PORT = 256;

struct PortChoice {
    std::string name;  // what the port layer opens
    std::string shown; // "COM 3", or the path or endpoint as given
    long comNumber = -1;
};

// False with a one-line reason (a usage error) when the name cannot be a port.
bool ChoosePort(const std::string& option, PortChoice& choice, std::string& error);

} // namespace cli
