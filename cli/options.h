#pragma once

// The command line of ostrellectl: options may stand before or after the
// command; "--" ends them, so that a negative frequency can follow.

#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

class Station;

namespace cli {

struct PortChoice;

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
    // serve: where the control server listens.
    std::string listenAddress = "127.0.0.1";
    int rigctlPort = 4532;
    int delayMs = DEFAULT_KEY_DELAY_MS;
    bool help = false;
    bool version = false;
    // watch and serve: what the station hears (audiooptions.cpp).
    std::string audioDevice;          // empty: the sound server's default input
    std::optional<std::string> record; // given: each hit recorded, into this folder (empty: the default)
    std::string recordFormat;          // empty: the recorder's default (Ogg Opus)
    std::string streamUrl;
    bool streamSettings = false; // the panel's Stream... choice instead of a URL
    std::string streamPasswordFile;
};

// False with a one-line reason when the words do not make a command line.
// `args` excludes the program's name.
bool ParseOptions(const std::vector<std::string>& args, Options& options, std::string& error);

struct CommandDef {
    std::string_view name = {};
    std::string_view arguments = {}; // as the usage shows them: "MHZ [am|fm|auto]"
    size_t fewest = 0;
    size_t most = 0;
    // Runs on a station whose port has been chosen, not yet opened: the
    // command reaches the radio, and takes --port.
    int (*onRadio)(const Options&, Station&, const PortChoice&) = nullptr;
    // Runs without a radio.
    int (*local)(const Options&) = nullptr;
    // Said for a wrong count of arguments, when the name and arguments are not all.
    std::string_view usage = {};
    std::string_view help = {}; // its lines in the usage, broken where they break
};

// The commands an option goes with: their names, RADIO_COMMANDS for every
// one that reaches the radio, or none for any command at all.
inline constexpr std::string_view RADIO_COMMANDS = "*";

struct OptionDef {
    std::string_view name = {};
    std::string_view shortName = {}; // "-y", or none
    std::string_view value = {};     // what the usage calls its value; none for a switch
    // Where it goes: a switch, a text (never empty), a number from 0 to
    // `highest`, or a text that may be left out (the option alone; its value
    // after '=', or, once the command is given, the next word that is no option).
    std::variant<bool Options::*, std::string Options::*, int Options::*, std::optional<std::string> Options::*>
        member = {};
    int highest = 0;
    // A value refused: "--NAME needs " + wanted for a text, "--NAME takes "
    // + wanted + " to " + highest + ", not 'VALUE'" for a number.
    std::string_view wanted = {};
    std::string_view commands = {}; // the command names, space between
    std::string_view needs = {};    // another option without which it means nothing
    // Shown among the commands, as a form of each it goes with ("watch --hits").
    bool form = false;
    std::string_view help = {};
};

// ostrellectl's commands, each one row (options.cpp) as its options are: the
// usage text, the checks of a command line and the dispatch are read from them.
extern const std::span<const CommandDef> commandTable;

// The command's row; null for no such command.
const CommandDef* FindCommand(std::string_view name);

// The text of --help: the commands, the options and the exit codes.
std::string UsageText();

} // namespace cli
