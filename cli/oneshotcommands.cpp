// The commands that end at once: status, lcd, key and tune (one poll, or
// keys and a tune frame, on a link that is open but not polling, so that
// nothing else goes to the radio) and ports.

#include "cli/commands.h"

#include "cli/exitcodes.h"
#include "cli/interrupt.h"
#include "cli/messages.h"
#include "cli/report.h"
#include "protocol/frames.h"
#include "protocol/radiolink.h"

#include "station/station.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <optional>
#include <vector>

#if defined(_WIN32)
#include <windows.h>
#else
#include "serial/portmap.h"
#endif

namespace cli {

namespace {

// Whether a key or tune frame went out, as the link tells it.
int Sent(SendResult result, const PortChoice& port)
{
    if (result == SendResult::Sent) {
        return Code(ExitCode::Done);
    }
    return Fail(ExitCode::NoAnswer,
                "The frame did not reach the radio on " + port.shown + ": " + SendResultText(result) + ".");
}

bool SameLetters(std::string_view a, std::string_view b)
{
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
           });
}

int ParseKeys(const Options& o, std::vector<KeyCode>& keys)
{
    for (const std::string& name : o.arguments) {
        const auto key = KeyByName(name);
        if (!key) {
            std::string names;
            for (const KeyDef& k : keyTable) {
                names += (names.empty() ? "" : " ") + std::string(k.caption);
            }
            std::string message = "there is no key '" + name;
            message += "'; the keys are: ";
            message += names;
            return Fail(ExitCode::Usage, message);
        }
        keys.push_back(key->code);
    }
    return Code(ExitCode::Done);
}

int ParseTune(const Options& o, uint32_t& hz, int32_t& modulation)
{
    const std::string& text = o.arguments[0];
    double mhz = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), mhz);
    if (ec != std::errc() || end != text.data() + text.size()) {
        return Fail(ExitCode::Usage, "'" + text + "' is no frequency; give it in MHz, as 146.52");
    }
    const std::optional<uint32_t> tuned = TuneHzOfMHz(mhz);
    if (!tuned) {
        return Fail(ExitCode::Usage, text + " MHz cannot be tuned. " + std::string(TUNE_RANGE_MESSAGE));
    }
    hz = *tuned;
    if (o.arguments.size() > 1) {
        const std::string& wanted = o.arguments[1];
        const auto it = std::find_if(tuneModulationNames.begin(), tuneModulationNames.end(),
                                     [&](std::string_view n) { return SameLetters(n, wanted); });
        if (it == tuneModulationNames.end()) {
            return Fail(ExitCode::Usage, "the modulation is am, fm or auto, not '" + wanted + "'");
        }
        modulation = static_cast<int32_t>(it - tuneModulationNames.begin());
    }
    return Code(ExitCode::Done);
}

} // namespace

int CommandStatus(const Options& o, Station& station, const PortChoice& port)
{
    const int code = Reach(station, port, PollStatusOnce);
    if (code == Code(ExitCode::Done)) {
        const RadioStatus status = station.Link().Snapshot().status;
        (void)Emit((o.json ? StatusJson(status) : StatusLine(status)) + "\n");
    }
    return code;
}

int CommandLcd(const Options& o, Station& station, const PortChoice& port)
{
    const int code = Reach(station, port, PollLcdOnce);
    if (code == Code(ExitCode::Done)) {
        const LcdImage lcd = station.Link().Snapshot().lcd;
        (void)Emit(o.json ? LcdJson(lcd) + "\n" : LcdLines(lcd));
    }
    return code;
}

int CommandKey(const Options& o, Station& station, const PortChoice& port)
{
    std::vector<KeyCode> keys;
    keys.reserve(o.arguments.size());
    if (const int code = ParseKeys(o, keys); code != Code(ExitCode::Done)) {
        return code;
    }
    if (const int code = Reach(station, port, PollStatusOnce); code != Code(ExitCode::Done)) {
        return code;
    }
    for (size_t i = 0; i < keys.size(); ++i) {
        if (i > 0 && !interrupt::Sleep(static_cast<uint32_t>(o.delayMs))) {
            return Interrupted();
        }
        if (const int code = Sent(station.Link().SendKey(keys[i]), port); code != Code(ExitCode::Done)) {
            return code;
        }
    }
    return Code(ExitCode::Done);
}

int CommandTune(const Options& o, Station& station, const PortChoice& port)
{
    uint32_t hz = 0;
    int32_t modulation = TUNE_MODULATION_AUTO;
    if (const int code = ParseTune(o, hz, modulation); code != Code(ExitCode::Done)) {
        return code;
    }
    if (const int code = Reach(station, port, PollStatusOnce); code != Code(ExitCode::Done)) {
        return code;
    }
    return Sent(station.Link().SendTune(hz, modulation), port);
}

int CommandPorts(const Options& /*options*/)
{
#if defined(_WIN32)
    std::string text = "On Windows a COM number is the system's own port. Ports present:\n";
    int found = 0;
    for (int n = 1; n <= HIGHEST_COM_PORT; ++n) {
        char target[512] = {};
        const std::string name = "COM" + std::to_string(n);
        if (QueryDosDeviceA(name.c_str(), target, sizeof target) != 0) {
            text += name + "  " + target + "\n";
            ++found;
        }
    }
    if (found == 0) {
        text += "none\n";
    }
    (void)Emit(text);
#else
    const PortMapRoots roots = SystemPortMapRoots();
    std::vector<PortEntry> entries = ReadPortMap(roots);
    const bool proposal = entries.empty();
    if (proposal) {
        entries = ProposePortMap(roots);
    }
    std::string text = PortMapHeading(roots.portsDirectory, proposal, entries.size()) + "\n";
    if (proposal && !entries.empty()) {
        text += "(The front panel's Serial ports... keeps them.)\n";
    }
    if (!entries.empty()) {
        constexpr size_t columns = 3;
        std::vector<std::array<std::string, columns>> rows{{"COM", "Device", "Condition"}};
        for (const PortEntry& entry : entries) {
            rows.push_back({"COM" + std::to_string(entry.number) + (proposal ? " (proposed)" : ""),
                            PortEntryDeviceText(entry), PortEntryConditionText(entry)});
        }
        std::array<size_t, columns> width{};
        for (const auto& row : rows) {
            for (size_t c = 0; c < columns; ++c) {
                width[c] = std::max(width[c], row[c].size());
            }
        }
        for (const auto& row : rows) {
            std::string line;
            for (size_t c = 0; c < columns; ++c) {
                line += row[c] + (c + 1 < columns ? std::string(width[c] - row[c].size() + 2, ' ') : "");
            }
            text += line + "\n";
        }
    }
    (void)Emit(text);
#endif
    return Code(ExitCode::Done);
}

} // namespace cli
