#pragma once

// The command line of ostrellectl: options may stand before or after the
// command; "--" ends them, so that a negative frequency can follow.

#include <string>
#include <vector>

namespace cli {

inline constexpr int DEFAULT_KEY_DELAY_MS = 100;
inline constexpr int LONGEST_KEY_DELAY_MS = 60000;
inline constexpr int DEFAULT_MERGE_GAP_MS = 1000;
inline constexpr int LONGEST_MERGE_GAP_MS = 3600000;

struct Options {
    std::string command;
    std::vector<std::string> arguments;
    std::string port; // as given; empty: the settings file's, else COM 1
    bool json = false;
    bool yes = false;
    bool reconnect = false;
    bool hits = false;
    int mergeGapMs = DEFAULT_MERGE_GAP_MS;
    bool mergeGapGiven = false;
    // serve: where the control server listens.
    std::string listenAddress = "127.0.0.1";
    bool listenGiven = false;
    int rigctlPort = 4532;
    bool rigctlPortGiven = false;
    int delayMs = DEFAULT_KEY_DELAY_MS;
    bool delayGiven = false;
    bool help = false;
    bool version = false;
    // watch and serve: what the station hears (audiooptions.cpp).
    std::string audioDevice; // empty: the sound server's default input
    bool audioDeviceGiven = false;
    bool record = false;
    std::string recordFolder; // empty: the panel's default folder
    std::string streamUrl;
    std::string streamPasswordFile;
};

// False with a one-line reason when the words do not make a command line.
// `args` excludes the program's name.
bool ParseOptions(const std::vector<std::string>& args, Options& options, std::string& error);

// The text of --help: the commands, the options and the exit codes.
const char* UsageText();

} // namespace cli
