#include "cli/options.h"

#include "cli/audiooptions.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <iterator>
#include <string_view>

namespace cli {

namespace {

struct CommandDef {
    std::string_view name;
    size_t fewest = 0;
    size_t most = 0;
    std::string_view usage;
};

constexpr size_t kAny = static_cast<size_t>(-1);

constexpr std::array<CommandDef, 10> commands{{
    {"status", 0, 0, "status"},
    {"lcd", 0, 0, "lcd"},
    {"key", 1, kAny, "key NAME..."},
    {"tune", 1, 2, "tune MHZ [am|fm|auto]"},
    {"read", 1, 1, "read FILE"},
    {"write", 1, 1, "write FILE"},
    {"watch", 0, 0, "watch"},
    {"ports", 0, 0, "ports"},
    {"serve", 0, 0, "serve [--listen ADDRESS] [--rigctl-port PORT]"},
    {"audio-devices", 0, 0, "audio-devices"},
}};

const CommandDef* FindCommand(std::string_view name)
{
    const auto it = std::find_if(commands.begin(), commands.end(), [name](const CommandDef& c) { return c.name == name; });
    return it == commands.end() ? nullptr : &*it;
}

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

// Which command an option belongs to, so that a misplaced one is named.
bool OptionFits(const Options& o, std::string& error)
{
    const auto only = [&](bool given, std::string_view option, std::initializer_list<std::string_view> allowed) {
        if (!given || std::find(allowed.begin(), allowed.end(), o.command) != allowed.end()) {
            return true;
        }
        error = std::string(option) + " goes with ";
        size_t i = 0;
        for (const std::string_view name : allowed) {
            error += (i == 0 ? "" : (i + 1 == allowed.size() ? " and " : ", ")) + std::string(name);
            ++i;
        }
        error += ", not with " + o.command;
        return false;
    };
    return only(o.json, "--json", {"status", "lcd", "watch"}) && only(o.yes, "--yes", {"read", "write"}) &&
           only(o.reconnect, "--reconnect", {"watch", "serve"}) && only(o.delayGiven, "--delay", {"key"}) &&
           only(o.hits, "--hits", {"watch"}) && only(o.mergeGapGiven, "--merge-gap", {"watch"}) &&
           only(o.listenGiven, "--listen", {"serve"}) && only(o.rigctlPortGiven, "--rigctl-port", {"serve"}) &&
           only(!o.port.empty(), "--port", {"status", "lcd", "key", "tune", "read", "write", "watch", "serve"});
}

} // namespace

bool ParseOptions(const std::vector<std::string>& args, Options& o, std::string& error)
{
    o = Options{};
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
        const auto takeValue = [&]() {
            if (hasValue) {
                return true;
            }
            if (i + 1 >= args.size()) {
                error = name + " needs a value";
                return false;
            }
            value = args[++i];
            return true;
        };
        struct Flag {
            const char* name;
            const char* shortName;
            bool Options::*member;
        };
        static constexpr Flag flags[] = {
            {"--help", "-h", &Options::help},          {"--version", nullptr, &Options::version},
            {"--json", nullptr, &Options::json},       {"--yes", "-y", &Options::yes},
            {"--reconnect", nullptr, &Options::reconnect}, {"--hits", nullptr, &Options::hits},
        };
        const auto flag = std::find_if(std::begin(flags), std::end(flags), [&](const Flag& f) {
            return name == f.name || (f.shortName != nullptr && name == f.shortName);
        });
        if (flag != std::end(flags)) {
            if (hasValue) {
                error = name + " takes no value";
                return false;
            }
            o.*(flag->member) = true;
        } else if (name == "--port") {
            if (!takeValue()) {
                return false;
            }
            if (value.empty()) {
                error = "--port needs a port: COM<n>, a device path, rfc2217://HOST:PORT or tcp://HOST:PORT";
                return false;
            }
            o.port = value;
        } else if (name == "--delay") {
            if (!takeValue()) {
                return false;
            }
            if (!ParseNumber(value, o.delayMs, LONGEST_KEY_DELAY_MS)) {
                error = "--delay takes milliseconds from 0 to " + std::to_string(LONGEST_KEY_DELAY_MS) + ", not '" +
                        value + "'";
                return false;
            }
            o.delayGiven = true;
        } else if (name == "--merge-gap") {
            if (!takeValue()) {
                return false;
            }
            if (!ParseNumber(value, o.mergeGapMs, LONGEST_MERGE_GAP_MS)) {
                error = "--merge-gap takes milliseconds from 0 to " + std::to_string(LONGEST_MERGE_GAP_MS) +
                        ", not '" + value + "'";
                return false;
            }
            o.mergeGapGiven = true;
        } else if (name == "--listen") {
            if (!takeValue()) {
                return false;
            }
            if (value.empty()) {
                error = "--listen needs an address: 127.0.0.1 (this computer alone) or 0.0.0.0 (every interface)";
                return false;
            }
            o.listenAddress = value;
            o.listenGiven = true;
        } else if (name == "--rigctl-port") {
            if (!takeValue()) {
                return false;
            }
            if (!ParseNumber(value, o.rigctlPort, 65535)) {
                error = "--rigctl-port takes a TCP port from 0 (any free one) to 65535, not '" + value + "'";
                return false;
            }
            o.rigctlPortGiven = true;
        } else if (TakeAudioOption(name, hasValue ? &value : nullptr, args, i, !words.empty(), o, error)) {
            if (!error.empty()) {
                return false;
            }
        } else {
            error = "unknown option " + name;
            return false;
        }
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
    const CommandDef* def = FindCommand(o.command);
    if (def == nullptr) {
        error = "unknown command '" + o.command + "'";
        return false;
    }
    if (o.arguments.size() < def->fewest || o.arguments.size() > def->most) {
        error = "usage: ostrellectl " + std::string(def->usage);
        return false;
    }
    if (o.mergeGapGiven && !o.hits) {
        error = "--merge-gap goes with watch --hits";
        return false;
    }
    return OptionFits(o, error) && AudioOptionsFit(o, error);
}

const char* UsageText()
{
    return "Usage: ostrellectl [--port PORT] COMMAND [ARGUMENTS]\n"
           "Drives a Quelmar scanner on a serial cable from a shell, a script or cron.\n"
           "\n"
           "Commands:\n"
           "  status                 one status poll: mode, frequency, modulation, RSSI,\n"
           "                         centering, battery and the lit indicators\n"
           "  lcd                    one display poll: the four rows and the lit icons\n"
           "  key NAME...            presses keys by their captions (scan, 1, ., ent, f1,\n"
           "                         l/out...; any case), --delay MS apart\n"
           "  tune MHZ [am|fm|auto]  tunes the radio (modulation Auto unless given)\n"
           "  read FILE              copies the radio's memory image into FILE; FILE is\n"
           "                         replaced only by a whole image, and one of fewer\n"
           "                         records than FILE holds only with --yes\n"
           "  write FILE             copies FILE into the radio's memory, replacing all\n"
           "                         of it (asks first on a terminal)\n"
           "  watch                  prints a time-stamped line whenever the status or\n"
           "                         the display changes, and when the radio stops or\n"
           "                         starts answering or its port goes, until interrupted\n"
           "  watch --hits           prints a line for each hit as it ends: a time the\n"
           "                         squelch was open (RF SQ), with its start, duration,\n"
           "                         frequency, modulation, mode, display and RSSI (CSV\n"
           "                         after a header row, or JSON with --json)\n"
           "  ports                  the COM map: where each COM number leads\n"
           "  serve                  polls the radio and lets other programs drive it\n"
           "                         over Hamlib's rigctld protocol (Hamlib model 2,\n"
           "                         NET rigctl), until interrupted\n"
           "  audio-devices          the sound server's inputs, one per line: the name\n"
           "                         that --audio-device takes, then what it is; the\n"
           "                         server's default input is marked (default)\n"
           "\n"
           "Options:\n"
           "  --port PORT            COM<n> (the panel's ports/COM<n>, else the system's\n"
           "                         port), a device such as /dev/ttyUSB0, or\n"
           "                         rfc2217://HOST:PORT or tcp://HOST:PORT. Default: the\n"
           "                         COM number in the panel's Ostrelle.cfg, else COM1\n"
           "  --json                 status, lcd, watch: JSON (one object per line)\n"
           "  --delay MS             key: pause between keys (default 100)\n"
           "  --yes, -y              write: do not ask before replacing the radio's memory;\n"
           "                         read: replace FILE even by an image of fewer records\n"
           "  --reconnect            watch, serve: after a hang-up let the port go, look\n"
           "                         for it once a second and go on when it is back\n"
           "  --listen ADDRESS       serve: the address to listen on (default 127.0.0.1,\n"
           "                         this computer alone; 0.0.0.0 lets anyone on the\n"
           "                         network tune the radio)\n"
           "  --rigctl-port PORT     serve: the TCP port (default 4532, Hamlib's own)\n"
           "  --merge-gap MS         watch --hits: the squelch opening again this soon on\n"
           "                         the same frequency continues the hit (default 1000)\n"
           "  --record [DIR]         watch --hits: records each hit, from half a second\n"
           "                         before the squelch opened, into a file of its own in\n"
           "                         DIR (default: the panel's, ~/Music/Ostrelle), named\n"
           "                         in the row's recording column. Before the command\n"
           "                         write --record=DIR\n"
           "  --stream URL           watch --hits, serve: streams what the radio says to\n"
           "                         an Icecast server, icecast://USER@HOST:PORT/MOUNT,\n"
           "                         titled with each hit's frequency; the stream's state\n"
           "                         goes to standard error. The password: from\n"
           "                         OSTRELLE_STREAM_PASSWORD, or --stream-password-file\n"
           "  --stream-password-file FILE\n"
           "                         the stream's password, the first line of FILE\n"
           "  --audio-device NAME    --record, --stream: the sound input (default: the\n"
           "                         sound server's default input; see audio-devices)\n"
           "  --help, -h             this text\n"
           "  --version              the program's version\n"
           "\n"
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
}

} // namespace cli
