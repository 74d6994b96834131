#include "control/rigctlprotocol.h"

#include "protocol/frames.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <vector>

namespace control {

namespace {

enum class Op {
    GetFreq,
    SetFreq,
    GetMode,
    SetMode,
    GetVfo,
    SetVfo,
    GetSplitVfo,
    GetPtt,
    GetLevel,
    Quit,
    ChkVfo,
    DumpState,
    GetPowerstat,
    GetLockMode,
};

// One command: its letter (0: it has only a long name), its long name, how
// many arguments it takes, and the names of its values in the extended form.
struct CommandDef {
    char letter = 0;
    std::string_view name;
    Op op = Op::GetFreq;
    size_t fewest = 0;
    size_t most = 0;
    std::array<std::string_view, 2> labels{};
};

// What Hamlib 4.5.4's clients send, and the little more a user types by
// hand. \get_powerstat answers 1 whatever the link does: any other answer
// makes Hamlib take the radio for switched off and refuse every later
// command. \get_lock_mode answers 0: without it Hamlib 4.5.4 drops every
// mode change without a word. A level's value has no name in the extended
// form, as rigctld writes it.
constexpr std::array<CommandDef, 15> commandTable{{
    {'f', "get_freq", Op::GetFreq, 0, 0, {"Frequency"}},
    {'F', "set_freq", Op::SetFreq, 1, 1, {}},
    {'m', "get_mode", Op::GetMode, 0, 0, {"Mode", "Passband"}},
    {'M', "set_mode", Op::SetMode, 1, 2, {}},
    {'v', "get_vfo", Op::GetVfo, 0, 0, {"VFO"}},
    {'V', "set_vfo", Op::SetVfo, 1, 1, {}},
    {'s', "get_split_vfo", Op::GetSplitVfo, 0, 0, {"Split", "TX VFO"}},
    {'t', "get_ptt", Op::GetPtt, 0, 0, {"PTT"}},
    {'l', "get_level", Op::GetLevel, 1, 1, {""}},
    {'q', "quit", Op::Quit, 0, 0, {}},
    {'Q', "quit", Op::Quit, 0, 0, {}},
    {0, "chk_vfo", Op::ChkVfo, 0, 0, {"ChkVFO"}},
    {0, "dump_state", Op::DumpState, 0, 0, {""}},
    {0, "get_powerstat", Op::GetPowerstat, 0, 0, {"Power Status"}},
    {0, "get_lock_mode", Op::GetLockMode, 0, 0, {"Locked"}},
}};

// The one VFO: a client may name it, or the current one.
constexpr std::array<std::string_view, 2> vfoNames{"VFOA", "currVFO"};

const CommandDef* FindCommand(std::string_view word)
{
    const bool longName = word.size() > 1 && word[0] == '\\';
    const auto it = std::find_if(commandTable.begin(), commandTable.end(), [&](const CommandDef& c) {
        return longName ? word.substr(1) == c.name : (word.size() == 1 && c.letter != 0 && word[0] == c.letter);
    });
    return it == commandTable.end() ? nullptr : &*it;
}

std::vector<std::string_view> Words(std::string_view text)
{
    std::vector<std::string_view> words;
    size_t at = 0;
    while (at < text.size()) {
        const size_t start = text.find_first_not_of(" \t", at);
        if (start == std::string_view::npos) {
            break;
        }
        const size_t end = std::min(text.find_first_of(" \t", start), text.size());
        words.push_back(text.substr(start, end - start));
        at = end;
    }
    return words;
}

// Hertz as clients write them ("146520000", "146520000.000000", "1.4652e8"),
// fractions of a hertz cut off as the panel cuts them. False outside the
// tune range and for anything that is not a plain number.
bool ParseHz(std::string_view text, uint32_t& hz)
{
    double value = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    const std::optional<uint32_t> tuned = TuneHzOf(value);
    if (ec != std::errc() || end != text.data() + text.size() || !tuned) {
        return false;
    }
    hz = *tuned;
    return true;
}

bool ParsePassband(std::string_view text)
{
    long value = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    return ec == std::errc() && end == text.data() + text.size();
}

const ModeDef* ModeByName(std::string_view name)
{
    const auto it = std::find_if(modeTable.begin(), modeTable.end(), [&](const ModeDef& m) { return m.name == name; });
    return it == modeTable.end() ? nullptr : &*it;
}

const ModeDef* ModeByStatus(uint8_t index)
{
    const auto it =
        std::find_if(modeTable.begin(), modeTable.end(), [&](const ModeDef& m) { return m.statusIndex == index; });
    return it == modeTable.end() ? nullptr : &*it;
}

// Composes the reply of one line in its form: the values alone, one a line;
// or, extended, the command, the named values and the result.
class Reply {
public:
    Reply(const CommandDef* command, const Framing& framing) : command(command), framing(framing) {}

    std::string Values(std::initializer_list<std::string> values) const
    {
        std::string text = Start();
        size_t i = 0;
        for (const std::string& value : values) {
            std::string_view label;
            if (command != nullptr && i < command->labels.size()) {
                label = command->labels[i];
            }
            if (framing.extended && !label.empty()) {
                text.append(label).append(": ");
            }
            text += value;
            text += framing.extended ? framing.separator : '\n';
            ++i;
        }
        return framing.extended ? text + "RPRT 0\n" : text;
    }

    std::string Result(HamlibError error) const { return SetReply(framing, error); }

private:
    std::string Start() const { return framing.extended ? framing.header + framing.separator : std::string(); }

    const CommandDef* command;
    const Framing& framing;
};

} // namespace

bool RadioSilent(const RadioStatus& status, const RadioAccess& radio)
{
    return radio.State() == LinkState::NotAnswering || (status.statusValid && radio.StatusAgeMs() >= ANSWER_LIMIT_MS);
}

bool StatusCurrent(const RadioStatus& status, const RadioAccess& radio)
{
    const LinkState state = radio.State();
    return status.statusValid && (state == LinkState::Answering || state == LinkState::LcdPollsOff) &&
           !RadioSilent(status, radio);
}

int StrengthDb(uint16_t rssi)
{
    constexpr int top = 1023;
    const int reading = std::min<int>(rssi, top);
    return static_cast<int>(std::lround(reading * 114.0 / top)) - 54;
}

int32_t TuneModulationFor(uint8_t statusModulationIndex)
{
    const ModeDef* mode = ModeByStatus(statusModulationIndex);
    return mode != nullptr && mode->tuneIndex >= 0 ? mode->tuneIndex : TUNE_MODULATION_AUTO;
}

HamlibError ErrorOf(SendResult result)
{
    switch (result) {
    case SendResult::Sent: return HamlibError::Ok;
    case SendResult::LinkStopped: return HamlibError::Timeout;
    case SendResult::LineOwned: return HamlibError::Rejected;
    case SendResult::NotWritten:
    case SendResult::PortGone: return HamlibError::Timeout; // a port that did not take it, or is out
    }
    return HamlibError::Timeout;
}

std::string SetReply(const Framing& framing, HamlibError error)
{
    const std::string result = "RPRT " + std::to_string(-static_cast<int>(error)) + "\n";
    return framing.extended ? framing.header + framing.separator + result : result;
}

const std::string& DumpStateText()
{
    static const std::string text = [] {
        uint64_t modes = 0;
        for (const ModeDef& m : modeTable) {
            modes |= m.hamlibBit;
        }
        char mask[24];
        (void)std::snprintf(mask, sizeof mask, "0x%llx", static_cast<unsigned long long>(modes));
        std::string s;
        s += "1\n"; // protocol version
        s += "2\n"; // rig model: NET rigctl (clients ignore it)
        s += "0\n"; // ITU region
        // Receive: the whole range of the tune frame, one VFO (A), no antenna.
        s += "0.000000 " + std::to_string(TUNE_HZ_MAX) + ".000000 " + std::string(mask) + " -1 -1 0x1 0x0\n";
        s += "0 0 0 0 0 0 0\n";
        // Transmit: none, a receiver.
        s += "0 0 0 0 0 0 0\n";
        // Tuning steps: the frame's hertz, and the scanner's own steps.
        for (const int step : {1, 5000, 6250, 12500, 25000}) {
            s += std::string(mask) + " " + std::to_string(step) + "\n";
        }
        s += "0 0\n";
        for (const ModeDef& m : modeTable) {
            if (m.hamlibBit != 0 && m.passbandHz != 0) {
                char line[48];
                (void)std::snprintf(line, sizeof line, "0x%llx %d\n", static_cast<unsigned long long>(m.hamlibBit),
                                    m.passbandHz);
                s += line;
            }
        }
        s += "0 0\n";
        s += "0\n0\n0\n0\n"; // RIT, XIT, IF shift, announces
        s += "\n\n";         // no preamplifier, no attenuator steps
        char levels[24];
        (void)std::snprintf(levels, sizeof levels, "0x%llx",
                            static_cast<unsigned long long>(LEVEL_STRENGTH | LEVEL_RAWSTR));
        // get_func, set_func, get_level, set_level, get_parm, set_parm
        s += "0x0\n0x0\n" + std::string(levels) + "\n0x0\n0x0\n0x0\n";
        s += "vfo_ops=0x0\nptt_type=0x0\ntargetable_vfo=0x0\nhas_set_vfo=0\nhas_get_vfo=1\n"
             "has_set_freq=1\nhas_get_freq=1\nhas_set_conf=0\nhas_get_conf=0\nhas_power2mW=0\n"
             "has_mW2power=0\ntimeout=0\nrig_model=2\ndone";
        return s;
    }();
    return text;
}

Handled HandleLine(std::string_view line, const RadioAccess& radio)
{
    Handled handled;
    const size_t first = line.find_first_not_of(" \t");
    if (first == std::string_view::npos || line[first] == '#') {
        return handled; // nothing asked: a blank line or a script's comment
    }
    line.remove_prefix(first);
    Framing& framing = handled.framing;
    const char lead = line[0];
    if (std::ispunct(static_cast<unsigned char>(lead)) != 0 && lead != '\\' && lead != '?' && lead != '_') {
        framing.extended = true;
        framing.separator = lead == '+' ? '\n' : lead;
        line.remove_prefix(1);
    }
    const std::vector<std::string_view> words = Words(line);
    handled.kind = Handled::Kind::Reply;
    if (words.empty()) {
        framing.header = ":";
        handled.reply = SetReply(framing, HamlibError::NotAvailable);
        return handled;
    }
    const CommandDef* command = FindCommand(words[0]);
    const std::vector<std::string_view> args(words.begin() + 1, words.end());
    framing.header = std::string(command != nullptr ? command->name : words[0].substr(words[0][0] == '\\'));
    framing.header += ':';
    for (const std::string_view arg : args) {
        framing.header.append(" ").append(arg);
    }
    const Reply reply(command, framing);
    if (command == nullptr) {
        handled.reply = reply.Result(HamlibError::NotAvailable);
        return handled;
    }
    if (args.size() < command->fewest || args.size() > command->most) {
        handled.reply = reply.Result(HamlibError::InvalidParam);
        return handled;
    }

    const PanelSnapshot snap = radio.Snapshot();
    const RadioStatus& status = snap.status;
    const bool current = StatusCurrent(status, radio);
    switch (command->op) {
    case Op::ChkVfo:
        handled.reply = reply.Values({"0"});
        break;
    case Op::DumpState:
        handled.reply = reply.Values({DumpStateText()});
        break;
    case Op::GetPowerstat:
        handled.reply = reply.Values({"1"});
        break;
    case Op::GetLockMode:
    case Op::GetPtt:
        handled.reply = reply.Values({"0"});
        break;
    case Op::GetVfo:
        handled.reply = reply.Values({std::string(vfoNames[0])});
        break;
    case Op::GetSplitVfo:
        handled.reply = reply.Values({"0", std::string(vfoNames[0])});
        break;
    case Op::SetVfo: {
        const bool known = std::find(vfoNames.begin(), vfoNames.end(), args[0]) != vfoNames.end();
        handled.reply = reply.Result(known ? HamlibError::Ok : HamlibError::InvalidParam);
        break;
    }
    case Op::Quit:
        handled.reply = reply.Result(HamlibError::Ok);
        handled.close = true;
        break;
    case Op::GetFreq:
        handled.reply =
            current ? reply.Values({std::to_string(status.frequencyHz())}) : reply.Result(HamlibError::Timeout);
        break;
    case Op::GetMode:
        if (!current) {
            handled.reply = reply.Result(HamlibError::Timeout);
        } else if (const ModeDef* mode = ModeByStatus(status.modulationIndex())) {
            handled.reply = reply.Values({std::string(mode->name), std::to_string(mode->passbandHz)});
        } else {
            handled.reply = reply.Result(HamlibError::Protocol); // the radio sent an index it has no name for
        }
        break;
    case Op::GetLevel:
        if (args[0] != "STRENGTH" && args[0] != "RAWSTR") {
            handled.reply = reply.Result(HamlibError::NotAvailable);
        } else if (!current) {
            handled.reply = reply.Result(HamlibError::Timeout);
        } else {
            handled.reply = reply.Values(
                {std::to_string(args[0] == "RAWSTR" ? status.rssi() : StrengthDb(status.rssi()))});
        }
        break;
    case Op::SetFreq:
        if (!ParseHz(args[0], handled.hz)) {
            handled.reply = reply.Result(HamlibError::InvalidParam);
            break;
        }
        if (RadioSilent(status, radio)) {
            handled.reply = reply.Result(HamlibError::Timeout);
            break;
        }
        // The frame carries a modulation too: the one shown stays where it can.
        handled.tuneModulation = current ? TuneModulationFor(status.modulationIndex())
                                                    : TUNE_MODULATION_AUTO;
        handled.kind = Handled::Kind::Tune;
        break;
    case Op::SetMode: {
        const ModeDef* mode = ModeByName(args[0]);
        if (mode == nullptr || mode->tuneIndex < 0 || (args.size() > 1 && !ParsePassband(args[1]))) {
            handled.reply = reply.Result(HamlibError::InvalidParam);
        } else if (!current) {
            // The frame needs a frequency as well, and none is known.
            handled.reply = reply.Result(HamlibError::Timeout);
        } else if (mode->statusIndex == status.modulationIndex()) {
            // Already so: a tune frame would only stop a scan.
            handled.reply = reply.Result(HamlibError::Ok);
        } else {
            handled.hz = status.frequencyHz();
            handled.tuneModulation = mode->tuneIndex;
            handled.kind = Handled::Kind::Tune;
        }
        break;
    }
    }
    return handled;
}

} // namespace control
