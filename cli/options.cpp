#include "cli/options.h"

#include "cli/audiocommands.h"
#include "cli/audiooptions.h"
#include "cli/commands.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <string_view>

namespace cli {

namespace {

constexpr size_t ANY = static_cast<size_t>(-1);

// A new command is one row here and its handler in commands.h; in the usage's order.
constexpr auto commands = std::to_array<CommandDef>({
    {.name = "status", .onRadio = CommandStatus,
     .help = "one status poll: mode, frequency, modulation, RSSI,\n"
             "centering, battery and the lit indicators"},
    {.name = "lcd", .onRadio = CommandLcd, .help = "one display poll: the four rows and the lit icons"},
    {.name = "key", .arguments = "NAME...", .fewest = 1, .most = ANY, .onRadio = CommandKey,
     .help = "presses keys by their captions (scan, 1, ., ent, f1,\n"
             "l/out...; any case), --delay MS apart"},
    {.name = "tune", .arguments = "MHZ [am|fm|auto]", .fewest = 1, .most = 2, .onRadio = CommandTune,
     .help = "tunes the radio (modulation Auto unless given)"},
    {.name = "read", .arguments = "FILE", .fewest = 1, .most = 1, .onRadio = CommandTransfer,
     .help = "copies the radio's memory image into FILE; FILE is\n"
             "replaced only by a whole image, and one of fewer\n"
             "records than FILE holds only with --yes"},
    {.name = "write", .arguments = "FILE", .fewest = 1, .most = 1, .onRadio = CommandTransfer,
     .help = "copies FILE into the radio's memory, replacing all\n"
             "of it (asks first on a terminal)"},
    {.name = "watch", .onRadio = CommandWatch,
     .help = "prints a time-stamped line whenever the status or\n"
             "the display changes, and when the radio stops or\n"
             "starts answering or its port goes, until interrupted"},
    {.name = "ports", .local = CommandPorts, .help = "the COM map: where each COM number leads"},
    {.name = "serve", .onRadio = CommandServe, .usage = "serve [--listen ADDRESS] [--rigctl-port PORT]",
     .help = "polls the radio and lets other programs drive it\n"
             "over Hamlib's rigctld protocol (Hamlib model 2,\n"
             "NET rigctl), until interrupted"},
    {.name = "audio-devices", .local = CommandAudioDevices,
     .help = "the sound server's inputs, one per line: the name\n"
             "that --audio-device takes, then what it is; the\n"
             "server's default input is marked (default)"},
});

// A new option is one row here and its field in Options; in the usage's order.
constexpr auto options = std::to_array<OptionDef>({
    {.name = "--port", .value = "PORT", .member = &Options::port,
     .wanted = "a port: COM<n>, a device path, rfc2217://HOST:PORT or tcp://HOST:PORT", .commands = RADIO_COMMANDS,
     .help = "COM<n> (the panel's ports/COM<n>, else the system's\n"
             "port), a device such as /dev/ttyUSB0, or\n"
             "rfc2217://HOST:PORT or tcp://HOST:PORT. Default: the\n"
             "COM number in the panel's Ostrelle.cfg, else COM1"},
    {.name = "--json", .member = &Options::json, .commands = "status lcd watch",
     .help = "status, lcd, watch: JSON (one object per line)"},
    {.name = "--delay", .value = "MS", .member = &Options::delayMs, .highest = LONGEST_KEY_DELAY_MS,
     .wanted = "milliseconds from 0", .commands = "key", .help = "key: pause between keys (default 100)"},
    {.name = "--yes", .shortName = "-y", .member = &Options::yes, .commands = "read write",
     .help = "write: do not ask before replacing the radio's memory;\n"
             "read: replace FILE even by an image of fewer records"},
    {.name = "--reconnect", .member = &Options::reconnect, .commands = "watch serve",
     .help = "watch, serve: after a hang-up let the port go, look\n"
             "for it once a second and go on when it is back"},
    {.name = "--hits", .member = &Options::hits, .commands = "watch", .form = true,
     .help = "prints a line for each hit as it ends: a time the\n"
             "squelch was open (RF SQ), with its start, duration,\n"
             "frequency, modulation, mode, display and RSSI (CSV\n"
             "after a header row, or JSON with --json)"},
    {.name = "--listen", .value = "ADDRESS", .member = &Options::listenAddress,
     .wanted = "an address: 127.0.0.1 (this computer alone) or 0.0.0.0 (every interface)", .commands = "serve",
     .help = "serve: the address to listen on (default 127.0.0.1,\n"
             "this computer alone; 0.0.0.0 lets anyone on the\n"
             "network tune the radio)"},
    {.name = "--rigctl-port", .value = "PORT", .member = &Options::rigctlPort, .highest = 65535,
     .wanted = "a TCP port from 0 (any free one)", .commands = "serve",
     .help = "serve: the TCP port (default 4532, Hamlib's own)"},
    {.name = "--merge-gap", .value = "MS", .member = &Options::mergeGapMs, .highest = LONGEST_MERGE_GAP_MS,
     .wanted = "milliseconds from 0", .commands = "watch", .needs = "--hits",
     .help = "watch --hits: the squelch opening again this soon on\n"
             "the same frequency continues the hit (default 1000)"},
    {.name = "--record", .value = "[DIR]", .member = &Options::record, .commands = "watch", .needs = "--hits",
     .help = "watch --hits: records each hit, from half a second\n"
             "before the squelch opened, into a file of its own in\n"
             "DIR (default: the panel's, ~/Music/Ostrelle), named\n"
             "in the row's recording column. Before the command\n"
             "write --record=DIR"},
    {.name = "--record-format", .value = "FORMAT", .member = &Options::recordFormat, .wanted = "opus, flac or wav",
     .commands = "watch", .needs = "--record", .help = "--record: opus (the default, small), flac or wav"},
    {.name = "--stream", .value = "URL", .member = &Options::streamUrl,
     .wanted = "an Icecast server: icecast://USER@HOST:PORT/MOUNT", .commands = "watch serve",
     .help = "watch --hits, serve: streams what the radio says to\n"
             "an Icecast server, icecast://USER@HOST:PORT/MOUNT,\n"
             "titled with each hit's frequency; the stream's state\n"
             "goes to standard error. The password: from\n"
             "OSTRELLE_STREAM_PASSWORD, or --stream-password-file"},
    {.name = "--stream-settings", .member = &Options::streamSettings, .commands = "watch serve",
     .help = "watch --hits, serve: streams as the panel's Stream...\n"
             "dialog was left (Ostrelle.ini), instead of --stream"},
    {.name = "--stream-password-file", .value = "FILE", .member = &Options::streamPasswordFile,
     .wanted = "a file whose first line is the password", .commands = "watch serve",
     .help = "the stream's password, the first line of FILE"},
    {.name = "--audio-device", .value = "NAME", .member = &Options::audioDevice,
     .wanted = "a sound input (ostrellectl audio-devices lists them)", .commands = "watch serve",
     .help = "--record, --stream: the sound input (default: the\n"
             "sound server's default input; see audio-devices)"},
    {.name = "--help", .shortName = "-h", .member = &Options::help, .help = "this text"},
    {.name = "--version", .member = &Options::version, .help = "the program's version"},
});

// Where a help text starts on its line.
constexpr size_t HELP_COLUMN = 25;

// "-5" and "-.5" are negative numbers for tune, not options.
bool LooksNumeric(std::string_view word)
{
    return word.size() > 1 && word[0] == '-' && ((word[1] >= '0' && word[1] <= '9') || word[1] == '.');
}

bool ParseNumber(std::string_view text, int& value, int highest)
{
    int parsed = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), parsed);
    if (ec != std::errc() || end != text.data() + text.size() || parsed < 0 || parsed > highest) {
        return false;
    }
    value = parsed;
    return true;
}

} // namespace

const std::span<const CommandDef> commandTable = commands;

const CommandDef* FindCommand(std::string_view name)
{
    const auto it = std::find_if(commands.begin(), commands.end(), [name](const CommandDef& c) { return c.name == name; });
    return it == commands.end() ? nullptr : &*it;
}

namespace {

// Whether `option` may be given with `command`.
bool GoesWith(const OptionDef& option, const CommandDef& command)
{
    if (option.commands == RADIO_COMMANDS) {
        return command.onRadio != nullptr;
    }
    const std::string words = " " + std::string(option.commands) + " ";
    return option.commands.empty() || words.find(" " + std::string(command.name) + " ") != std::string::npos;
}

const OptionDef* FindOption(std::string_view name)
{
    const auto it = std::find_if(options.begin(), options.end(), [name](const OptionDef& d) {
        return name == d.name || (!d.shortName.empty() && name == d.shortName);
    });
    return it == options.end() ? nullptr : &*it;
}

// A value option's value into `o`; false with the reason when it will not do.
bool StoreValue(const OptionDef& def, const std::string& value, Options& o, std::string& error)
{
    const std::string name(def.name);
    if (const auto* text = std::get_if<std::string Options::*>(&def.member)) {
        if (value.empty()) {
            error = name + " needs " + std::string(def.wanted);
            return false;
        }
        o.**text = value;
        return true;
    }
    if (!ParseNumber(value, o.*std::get<int Options::*>(def.member), def.highest)) {
        error = name + " takes " + std::string(def.wanted) + " to " + std::to_string(def.highest) + ", not '" +
                value + "'";
        return false;
    }
    return true;
}

// The commands an option goes with, as "read and write".
std::string CommandList(const OptionDef& def)
{
    std::string list;
    std::string_view last;
    for (const CommandDef& command : commands) {
        if (GoesWith(def, command)) {
            list += list.empty() ? "" : ", ";
            list += last;
            last = command.name;
        }
    }
    return list.empty() ? std::string(last) : list + " and " + std::string(last);
}

// Names the first option given, in the order given, that means nothing
// without another one, else the first that does not fit the command.
bool OptionsFit(const CommandDef& command, const std::vector<const OptionDef*>& given, std::string& error)
{
    const auto isGiven = [&](std::string_view name) {
        return std::any_of(given.begin(), given.end(), [name](const OptionDef* def) { return def->name == name; });
    };
    for (const OptionDef* def : given) {
        if (!def->needs.empty() && !isGiven(def->needs)) {
            error = std::string(def->name) + " goes with " + CommandList(*def) + " " + std::string(def->needs);
            return false;
        }
    }
    for (const OptionDef* def : given) {
        if (!GoesWith(*def, command)) {
            error = std::string(def->name) + " goes with " + CommandList(*def) + ", not with " + std::string(command.name);
            return false;
        }
    }
    return true;
}

std::string Shown(const CommandDef& command)
{
    return std::string(command.name) + (command.arguments.empty() ? "" : " ") + std::string(command.arguments);
}

// One entry of the usage: its name, and its help in a column of its own.
void AddEntry(std::string& text, std::string_view name, std::string_view help)
{
    std::string line = "  ";
    line += name;
    line.resize(std::max(line.size() + 2, HELP_COLUMN), ' ');
    for (const char c : help) {
        line += c;
        if (c == '\n') {
            line.append(HELP_COLUMN, ' ');
        }
    }
    text += line;
    text += '\n';
}

} // namespace

bool ParseOptions(const std::vector<std::string>& args, Options& o, std::string& error)
{
    o = Options{};
    std::vector<const OptionDef*> given;
    given.reserve(args.size());
    bool optionsEnded = false;
    std::vector<std::string> words;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (optionsEnded || arg.empty() || arg[0] != '-' || arg == "-" || LooksNumeric(arg)) {
            words.push_back(arg);
            continue;
        }
        if (arg == "--") {
            optionsEnded = true;
            continue;
        }
        std::string name = arg;
        std::string value;
        bool hasValue = false;
        if (const auto eq = arg.find('='); arg.rfind("--", 0) == 0 && eq != std::string::npos) {
            name = arg.substr(0, eq);
            value = arg.substr(eq + 1);
            hasValue = true;
        }
        const OptionDef* def = FindOption(name);
        if (def == nullptr) {
            error = "unknown option " + name;
            return false;
        }
        if (const auto* optional = std::get_if<std::optional<std::string> Options::*>(&def->member)) {
            // A word after it is its value only once the command is given,
            // so that "--record watch" still names the command.
            const bool nextIsValue = !words.empty() && i + 1 < args.size() && !args[i + 1].empty() && args[i + 1][0] != '-';
            o.**optional = hasValue ? value : nextIsValue ? args[++i] : std::string();
        } else if (const auto* flag = std::get_if<bool Options::*>(&def->member)) {
            if (hasValue) {
                error = name + " takes no value";
                return false;
            }
            o.**flag = true;
        } else if (!hasValue && i + 1 >= args.size()) {
            error = name + " needs a value";
            return false;
        } else if (!StoreValue(*def, hasValue ? value : args[++i], o, error)) {
            return false;
        }
        given.push_back(def);
    }
    if (o.help || o.version) {
        return true;
    }
    if (words.empty()) {
        error = "no command given";
        return false;
    }
    o.command = words.front();
    o.arguments.assign(words.begin() + 1, words.end());
    const CommandDef* command = FindCommand(o.command);
    if (command == nullptr) {
        error = "unknown command '" + o.command + "'";
        return false;
    }
    if (o.arguments.size() < command->fewest || o.arguments.size() > command->most) {
        error = "usage: ostrellectl " + (command->usage.empty() ? Shown(*command) : std::string(command->usage));
        return false;
    }
    return OptionsFit(*command, given, error) && AudioOptionsFit(o, error);
}

std::string UsageText()
{
    std::string text = "Usage: ostrellectl [--port PORT] COMMAND [ARGUMENTS]\n"
                       "Drives a Quelmar scanner on a serial cable from a shell, a script or cron.\n"
                       "\n"
                       "Commands:\n";
    for (const CommandDef& command : commands) {
        AddEntry(text, Shown(command), command.help);
        for (const OptionDef& option : options) {
            if (option.form && GoesWith(option, command)) {
                AddEntry(text, std::string(command.name) + " " + std::string(option.name), option.help);
            }
        }
    }
    text += "\nOptions:\n";
    for (const OptionDef& option : options) {
        if (!option.form) {
            std::string name(option.name);
            name += option.value.empty() ? "" : " ";
            name += option.value;
            name += option.shortName.empty() ? "" : ", ";
            name += option.shortName;
            AddEntry(text, name, option.help);
        }
    }
    text += "\n"
            "Exit codes:\n"
            "  0    done\n"
            "  1    the radio did not answer\n"
            "  2    bad usage\n"
            "  3    the port could not be opened, serve could not listen on its network\n"
            "       port, or audio-devices found no sound server (the reason goes to\n"
            "       standard error)\n"
            "  4    a memory image transfer did not end whole\n"
            "  130  interrupted (Ctrl-C); 143 ended by SIGTERM, 129 by SIGHUP\n"
            "\n"
            "Results go to standard output; messages and transfer progress to standard error.\n"
            "Ostrelle.cfg and ports/ are where the panel keeps them: beside the program, or\n"
            "in ~/.config/ostrelle for an installed one (ostrellectl ports names the folder).\n";
    return text;
}

} // namespace cli
