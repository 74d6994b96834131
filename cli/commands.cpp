// The commands of ostrellectl over the core: the same RadioLink, poll worker
// and transfer workers as the front panel, with standard output for results
// and standard error for everything said to the user.

#include "cli/commands.h"

#include "activity/activitycsv.h"
#include "activity/activityrecorder.h"
#include "cli/audiocommands.h"
#include "cli/exitcodes.h"
#include "cli/interrupt.h"
#include "cli/messages.h"
#include "cli/portchoice.h"
#include "config/programinfo.h"
#include "protocol/radiolink.h"
#include "cli/report.h"
#include "cli/transfercommands.h"
#include "cli/wakeup.h"

#include "station/station.h"

#if !defined(_WIN32)
#include "serial/portmap.h"
#endif

#include <algorithm>
#include <array>
#include <charconv>
#include <chrono>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <functional>

#if defined(_WIN32)
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#else
#include <atomic>
#include <thread>

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace cli {

namespace {

using Clock = std::chrono::steady_clock;

// How long a radio may stay silent before it counts as not answering.
constexpr auto ANSWER_LIMIT = std::chrono::milliseconds(ANSWER_LIMIT_MS);
// A poll pass sends the LCD and the status poll a few ms apart; one line
// shows both replies.
constexpr uint32_t SETTLE_MS = 15;
// The watch is woken by every change and by Ctrl-C; this is only a net.
constexpr auto WAKE_LIMIT = std::chrono::milliseconds(1000);

// Standard output carries results only; false once nobody reads it.
bool Emit(const std::string& text)
{
    return std::fwrite(text.data(), 1, text.size(), stdout) == text.size() && std::fflush(stdout) == 0;
}

int NoAnswer(const PortChoice& port)
{
    return Fail(ExitCode::NoAnswer, "The radio did not answer on " + port.shown +
                                        ". Check that it is switched on, that the cable sits in the PC/IF "
                                        "socket, and that the port is the right one (ostrellectl ports).");
}

} // namespace

int OpenLink(Station& station, const PortChoice& port)
{
    if (station.Open(port.name)) {
        return Code(ExitCode::Done);
    }
    const RadioLink& link = station.Link();
    std::string message = Sentence("Unable to open port " + port.shown + ": " + OneLine(link.OpenError()));
    // As in the panel: a number with nothing behind it is put right in the map.
    if (port.comNumber > 0 && link.OpenFault() == SerialFault::Missing) {
        message += " ostrellectl ports shows where each COM number leads.";
    }
    return Fail(ExitCode::PortUnavailable, message);
}

namespace {

// Polls until a reply is stored or the radio has had ANSWER_LIMIT to give
// one: a line that has just been opened may lose the first.
bool PollUntilAnswered(RadioLink& link, bool (*poll)(RadioLink&, uint8_t*))
{
    std::array<uint8_t, LCD_REPLY_LENGTH> buffer{};
    const auto start = Clock::now();
    while (!interrupt::Requested()) {
        if (poll(link, buffer.data())) {
            return true;
        }
        if (Clock::now() - start >= ANSWER_LIMIT || link.Port().HungUp() || !interrupt::Sleep(10)) {
            return false;
        }
    }
    return false;
}

int Interrupted()
{
    return Fail(ExitCode::Interrupted, "interrupted");
}

// Why no reply came: the user's Ctrl-C, or the radio.
int Unanswered(const PortChoice& port)
{
    return interrupt::Requested() ? Interrupted() : NoAnswer(port);
}

int CommandStatus(RadioLink& link, const Options& o, const PortChoice& port)
{
    if (!PollUntilAnswered(link, PollStatusOnce)) {
        return Unanswered(port);
    }
    const RadioStatus status = link.Snapshot().status;
    (void)Emit((o.json ? StatusJson(status) : StatusLine(status)) + "\n");
    return Code(ExitCode::Done);
}

int CommandLcd(RadioLink& link, const Options& o, const PortChoice& port)
{
    if (!PollUntilAnswered(link, PollLcdOnce)) {
        return Unanswered(port);
    }
    const LcdImage lcd = link.Snapshot().lcd;
    (void)Emit(o.json ? LcdJson(lcd) + "\n" : LcdLines(lcd));
    return Code(ExitCode::Done);
}

// Whether a key or tune frame went out, as the link tells it.
int Sent(SendResult result, const PortChoice& port)
{
    if (result == SendResult::Sent) {
        return Code(ExitCode::Done);
    }
    return Fail(ExitCode::NoAnswer,
                "The frame did not reach the radio on " + port.shown + ": " + SendResultText(result) + ".");
}

// What key and tune will send, taken from the words before the port is touched.
struct Request {
    std::vector<KeyCode> keys;
    uint32_t hz = 0;
    int32_t modulation = TUNE_MODULATION_AUTO;
};

bool SameLetters(std::string_view a, std::string_view b)
{
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
           });
}

int ParseKeys(const Options& o, Request& request)
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
        request.keys.push_back(key->code);
    }
    return Code(ExitCode::Done);
}

int ParseTune(const Options& o, Request& request)
{
    const std::string& text = o.arguments[0];
    double mhz = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), mhz);
    if (ec != std::errc() || end != text.data() + text.size()) {
        return Fail(ExitCode::Usage, "'" + text + "' is no frequency; give it in MHz, as 146.52");
    }
    const std::optional<uint32_t> hz = TuneHzOfMHz(mhz);
    if (!hz) {
        return Fail(ExitCode::Usage, text + " MHz cannot be tuned. " + std::string(TUNE_RANGE_MESSAGE));
    }
    request.hz = *hz;
    if (o.arguments.size() > 1) {
        const std::string& wanted = o.arguments[1];
        const auto it = std::find_if(tuneModulationNames.begin(), tuneModulationNames.end(),
                                     [&](std::string_view n) { return SameLetters(n, wanted); });
        if (it == tuneModulationNames.end()) {
            return Fail(ExitCode::Usage, "the modulation is am, fm or auto, not '" + wanted + "'");
        }
        request.modulation = static_cast<int32_t>(it - tuneModulationNames.begin());
    }
    return Code(ExitCode::Done);
}

int CommandKey(RadioLink& link, const Options& o, const PortChoice& port, const Request& request)
{
    for (size_t i = 0; i < request.keys.size(); ++i) {
        if (i > 0 && !interrupt::Sleep(static_cast<uint32_t>(o.delayMs))) {
            return Interrupted();
        }
        if (const int code = Sent(link.SendKey(request.keys[i]), port); code != Code(ExitCode::Done)) {
            return code;
        }
    }
    return Code(ExitCode::Done);
}

bool SameDisplay(const LcdImage& a, const LcdImage& b)
{
    if (a.lcdValid != b.lcdValid || a.iconFlagsA != b.iconFlagsA || a.iconFlagsB != b.iconFlagsB) {
        return false;
    }
    for (int k = 0; k < 4; ++k) {
        if (std::memcmp(a.rows[k], b.rows[k], 16) != 0) {
            return false;
        }
    }
    return true;
}

bool SameStatus(const RadioStatus& a, const RadioStatus& b)
{
    return a.statusValid == b.statusValid && std::memcmp(a.block, b.block, sizeof a.block) == 0;
}

std::string WatchLine(const PanelSnapshot& snap, LinkState state, bool json)
{
    if (json) {
        return "{\"time\":" + JsonString(Timestamp()) + ",\"link\":" + JsonString(LinkStateOf(state).name) +
               ",\"status\":" + StatusJson(snap.status) + ",\"lcd\":" + LcdJson(snap.lcd) + "}\n";
    }
    return Timestamp() + "  " + StatusLine(snap.status) + "  " + LcdOneLine(snap.lcd) + "\n";
}

// The link's own state, on a line of its own in words; in JSON every line
// carries it, so a change of state is a line like any other.
std::string StateLine(LinkState state, const PortChoice& port)
{
    return Timestamp() + "  " + LinkStateText(state, port.shown) + "\n";
}

// Tells when the reader of standard output has gone. A write would find
// that out too, but `watch --hits | head -1` writes only at the next hit,
// which may be hours away; a pipe or a socket whose other end has closed
// reports an error to poll() at once. Terminals and files have no reader
// that can go (a terminal that hangs up sends SIGHUP).
class ReaderWatch {
public:
    explicit ReaderWatch(std::function<void()> onGone)
    {
#if !defined(_WIN32)
        struct stat info {};
        if (::fstat(STDOUT_FILENO, &info) != 0 || !(S_ISFIFO(info.st_mode) || S_ISSOCK(info.st_mode)) ||
            ::pipe2(stop.data(), O_CLOEXEC) != 0) {
            return;
        }
        thread = std::thread([this, onGone = std::move(onGone)] {
            // No events asked for: only the error of a reader gone wakes it.
            std::array<pollfd, 2> fds{{{STDOUT_FILENO, 0, 0}, {stop[0], POLLIN, 0}}};
            while (::poll(fds.data(), fds.size(), -1) >= 0 || errno == EINTR) {
                if (fds[1].revents != 0) {
                    return;
                }
                if ((fds[0].revents & (POLLERR | POLLHUP)) != 0) {
                    gone = true;
                    onGone();
                    return;
                }
            }
        });
#else
        (void)onGone;
#endif
    }

    ~ReaderWatch()
    {
#if !defined(_WIN32)
        if (thread.joinable()) {
            const char byte = 1;
            (void)::write(stop[1], &byte, 1); // a pipe of our own with room: it cannot fail
            thread.join();
        }
        for (const int fd : stop) {
            if (fd >= 0) {
                ::close(fd);
            }
        }
#endif
    }

    ReaderWatch(const ReaderWatch&) = delete;
    ReaderWatch& operator=(const ReaderWatch&) = delete;

    bool Gone() const
    {
#if !defined(_WIN32)
        return gone;
#else
        return false;
#endif
    }

private:
#if !defined(_WIN32)
    std::atomic<bool> gone{false};
    std::array<int, 2> stop{-1, -1};
    std::thread thread;
#endif
};

// The same core as the panel's: the poll worker finds the radio answering
// or not, and after a hang-up closes the port and looks for it once a second
// until it opens again. Without --reconnect a hang-up ends the watch.
int CommandWatch(Station& station, const Options& o, const PortChoice& port, StationSound& sound)
{
    Wakeup wakeup;
    const auto wakeUp = [&wakeup] { wakeup.Raise(); };
    StationEvents events;
    events.changed = wakeUp;
    events.hitsEnded = wakeUp;
    events.soundChanged = wakeUp;
    station.SetEvents(events);
    interrupt::SetWaker(wakeUp);
    const ReaderWatch reader(wakeUp);
    // With --hits, every stored reply goes to the hit detector and a line is
    // printed for each hit as it ends, instead of one for each change.
    SystemWallTime wall(station.GetClock());
    const bool hits = o.hits;
    if (hits) {
        station.StartActivity(wall, HitRules{static_cast<uint32_t>(o.mergeGapMs), HitRules{}.silenceMs});
        if (!o.json && !Emit(std::string(ACTIVITY_CSV_HEADER) + "\n")) {
            return Code(ExitCode::Done);
        }
    }
    // False once nobody reads standard output.
    const auto printHits = [&] {
        for (const Hit& hit : station.TakeHits()) {
            if (!Emit((o.json ? HitJson(hit) : HitCsvRow(hit)) + "\n")) {
                return false;
            }
        }
        return true;
    };
    // The worker and the interrupt call back into this frame: both are gone
    // before the frame is.
    struct StopFirst {
        Station& station;
        ~StopFirst()
        {
            interrupt::SetWaker({});
            (void)station.Stop();
            station.SetEvents({});
        }
    } stopFirst{station};
    RadioLink& link = station.Link();
    sound.Start(station);
    station.StartPolling();

    // The first line waits for both replies, or for the radio's time to
    // answer; so does the first after the port came back.
    auto waitFrom = Clock::now();
    bool waiting = true;
    bool printed = false;
    PanelSnapshot last;
    LinkState shown = link.State();
    while (!interrupt::Requested() && !reader.Gone()) {
        const bool woken = wakeup.Wait(WAKE_LIMIT);
        sound.Say(station);
        if (woken && !hits && !interrupt::Sleep(SETTLE_MS)) {
            break;
        }
        const LinkState state = link.State();
        const PanelSnapshot snap = link.Snapshot();
        const bool changedState = state != shown;
        if (changedState && (!o.json || hits)) {
            // Between hits, CSV rows or JSON objects alike, a state line would
            // break the stream's shape: it goes to standard error in words.
            if (hits) {
                Notice(LinkStateText(state, port.shown));
            } else if (!Emit(StateLine(state, port))) {
                return Code(ExitCode::Done); // the reader has gone
            }
        }
        if (changedState && shown == LinkState::PortGone) {
            waitFrom = Clock::now();
            waiting = true;
        }
        shown = state;
        if (hits) {
            if (!printHits()) {
                return Code(ExitCode::Done);
            }
        } else {
            // While the port is gone the records say nothing new.
            const bool ready = !waiting || (snap.lcd.lcdValid && snap.status.statusValid) ||
                               Clock::now() - waitFrom > ANSWER_LIMIT;
            const bool changedRecords =
                !printed || !SameDisplay(snap.lcd, last.lcd) || !SameStatus(snap.status, last.status);
            const bool line = o.json ? ready && (changedState || changedRecords)
                                     : ready && state != LinkState::PortGone && changedRecords;
            if (line) {
                if (!Emit(WatchLine(snap, state, o.json))) {
                    return Code(ExitCode::Done);
                }
                last = snap;
                printed = true;
                waiting = false;
            }
        }
        if (state == LinkState::PortGone && !o.reconnect) {
            (void)station.Stop();
            (void)printHits();
            return Fail(ExitCode::NoAnswer, "The connection to the radio on " + port.shown +
                                                " was lost. Check the cable; --reconnect waits for it.");
        }
    }
    (void)station.Stop(); // a hit still open at Ctrl-C ends, and is printed
    if (reader.Gone()) {
        return Code(ExitCode::Done); // as when a write finds the reader gone
    }
    if (hits) {
        (void)printHits();
    }
    return Interrupted();
}

int CommandPorts()
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

} // namespace

int Run(const Options& o)
{
    if (o.help) {
        (void)Emit(UsageText());
        return Code(ExitCode::Done);
    }
    if (o.version) {
        // The panel's About box and title: "Ostrelle Version 1.0", release 1.09.
        (void)Emit("ostrellectl (" + std::string(ABOUT_VERSION_TEXT) + ") " OSTRELLE_RELEASE "\n");
        return Code(ExitCode::Done);
    }
    if (o.command == "ports") {
        return CommandPorts();
    }
    if (o.command == "audio-devices") {
        return CommandAudioDevices();
    }
    PortChoice port;
    std::string error;
    if (!ChoosePort(o.port, port, error)) {
        return Fail(ExitCode::Usage, error);
    }
    // Everything the words say is checked before the port is touched.
    Station station;
    Request request;
    TransferCommand transfer(station.Transfer(), o, port);
    const bool transferring = o.command == "read" || o.command == "write";
    int code = Code(ExitCode::Done);
    if (o.command == "key") {
        code = ParseKeys(o, request);
    } else if (o.command == "tune") {
        code = ParseTune(o, request);
    } else if (transferring && !transfer.Prepare(code)) {
        return code;
    }
    StationSound sound;
    if (code != Code(ExitCode::Done) || !sound.Prepare(o, code)) {
        return code;
    }
    if (o.command == "serve") {
#if defined(_WIN32)
        return Fail(ExitCode::Usage, "serve is not part of the Windows build; run it on Linux");
#else
        return CommandServe(station, o, port, sound);
#endif
    }
    if (const int opened = OpenLink(station, port); opened != Code(ExitCode::Done)) {
        transfer.Abandon();
        return opened;
    }
    if (o.command == "watch") {
        return CommandWatch(station, o, port, sound);
    }
    // The one-shot commands poll by themselves on the open link.
    RadioLink& link = station.Link();
    if (o.command == "status") {
        code = CommandStatus(link, o, port);
    } else if (o.command == "lcd") {
        code = CommandLcd(link, o, port);
    } else if (!PollUntilAnswered(link, PollStatusOnce)) {
        // Keys, tune frames and images get no answer of their own: a radio
        // that answers a poll is there to take them.
        code = Unanswered(port);
        transfer.Abandon();
    } else if (o.command == "key") {
        code = CommandKey(link, o, port, request);
    } else if (o.command == "tune") {
        code = Sent(link.SendTune(request.hz, request.modulation), port);
    } else if (transferring) {
        code = transfer.Run(station);
    }
    (void)station.Stop();
    return code;
}

} // namespace cli
