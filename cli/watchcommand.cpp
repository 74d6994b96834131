// watch: a line for each change of the radio's records or of the link's
// state, or one for each hit, until interrupted.

#include "cli/commands.h"

#include "activity/activitycsv.h"
#include "activity/activityrecorder.h"
#include "cli/audiocommands.h"
#include "cli/exitcodes.h"
#include "cli/interrupt.h"
#include "cli/messages.h"
#include "cli/report.h"
#include "protocol/linkstate.h"
#include "protocol/radiolink.h"

#include "station/station.h"

#include <array>
#include <chrono>
#include <cstring>
#include <functional>

#if !defined(_WIN32)
#include <atomic>
#include <cerrno>
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
#if defined(_WIN32)
// A console has no reader that can go.
struct ReaderWatch {
    explicit ReaderWatch(const std::function<void()>& /*onGone*/) {}
    static bool Gone() { return false; }
};
#else
class ReaderWatch {
public:
    explicit ReaderWatch(std::function<void()> onGone)
    {
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
    }

    ~ReaderWatch()
    {
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
    }

    ReaderWatch(const ReaderWatch&) = delete;
    ReaderWatch& operator=(const ReaderWatch&) = delete;

    bool Gone() const { return gone; }

private:
    std::atomic<bool> gone{false};
    std::array<int, 2> stop{-1, -1};
    std::thread thread;
};
#endif

} // namespace

// The same core as the panel's: the poll worker finds the radio answering
// or not, and after a hang-up closes the port and looks for it once a second
// until it opens again. Without --reconnect a hang-up ends the watch.
int CommandWatch(const Options& o, Station& station, const PortChoice& port)
{
    StationSound sound;
    if (int code = 0; !sound.Prepare(o, code)) {
        return code;
    }
    if (const int opened = OpenLink(station, port); opened != Code(ExitCode::Done)) {
        return opened;
    }
    // The hits' wall clock outlives the worker that begins them.
    SystemWallTime wall(station.GetClock());
    // The worker and the interrupt call back into this frame: both are gone
    // before the frame is.
    StationWait wait(station, {&StationEvents::changed, &StationEvents::hitsEnded, &StationEvents::soundChanged});
    const ReaderWatch reader([&wait] { wait.Raise(); });
    // With --hits, every stored reply goes to the hit detector and a line is
    // printed for each hit as it ends, instead of one for each change.
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
        const bool woken = wait.Wait(WAKE_LIMIT);
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
            return ConnectionLost(port);
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

} // namespace cli
