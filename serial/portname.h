#pragma once

#include <string>

// The program names its port the way the radio's owners know it, "\\.\COM<n>".
// On POSIX systems that name is mapped to a device: ports/COM<n> in the
// folder of kept files (KeptFilesDirectory(): beside the executable, or the
// user's configuration folder for an installed one) when it exists (a link
// the user made, say to /dev/ttyUSB0), else /dev/ttyS<n-1>. Any other name
// is used as it stands.
std::string DeviceForPortName(const std::string& name, const std::string& keptDirectory);

// The COM numbers a user may choose, in the panel and in its COM map.
inline constexpr int LOWEST_COM_PORT = 1;
inline constexpr int HIGHEST_COM_PORT = 256;

// Parses the number out of "\\.\COM<n>" (also "COM<n>"); -1 when the name is
// not of that form. Accepts only decimal digits, at most 9 of them.
long ComNumberOfPortName(const std::string& name);

// Directory of the running executable without a trailing separator; found once.
const std::string& ExecutableDirectory();
