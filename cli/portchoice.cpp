#include "cli/portchoice.h"

#include "serial/keptfiles.h"
#include "serial/portname.h"
#include "config/settingstext.h"

#include <cctype>
#include <optional>

namespace cli {

namespace {

bool ChooseComNumber(long number, const std::string& source, PortChoice& choice, std::string& error)
{
    if (number < 1 || number > HIGHEST_COM_PORT) {
        error = source + " names COM " + std::to_string(number) + ", but COM numbers go from 1 to " +
                std::to_string(HIGHEST_COM_PORT);
        return false;
    }
    choice.comNumber = number;
    choice.name = "\\\\.\\COM" + std::to_string(number);
    choice.shown = "COM " + std::to_string(number);
    return true;
}

bool IsEndpoint(const std::string& name)
{
    return name.rfind("rfc2217://", 0) == 0 || name.rfind("tcp://", 0) == 0;
}

} // namespace

bool ChoosePort(const std::string& option, PortChoice& choice, std::string& error)
{
    choice = PortChoice{};
    if (option.empty()) {
        const std::string path = KeptFilesDirectory() + "/" + std::string(settingstext::SETTINGS_FILE_NAME);
        // A file without a number on its first line (binary, or some other
        // program's) is as good as none, as for a missing or unreadable one.
        const auto lines = settingstext::ReadLeadingLines(path, 1);
        const std::optional<int> number = lines.empty() ? std::nullopt : settingstext::FindLeadingInt(lines.front());
        if (!number) {
            return ChooseComNumber(1, "", choice, error);
        }
        return ChooseComNumber(*number, path + " (give --port to use another)", choice, error);
    }
    std::string upper = option;
    for (char& c : upper) {
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    if (upper.rfind("COM", 0) == 0) {
        const long number = ComNumberOfPortName(upper);
        if (number < 0) {
            error = "--port " + option + " is no COM port: write COM and its number, as COM3";
            return false;
        }
        return ChooseComNumber(number, "--port " + option, choice, error);
    }
    if (IsEndpoint(option)) {
#if defined(_WIN32)
        error = "a radio on another machine is reached on Windows through a virtual COM port; give its COM number";
        return false;
#endif
    }
    choice.name = option;
    choice.shown = option;
    return true;
}

} // namespace cli
