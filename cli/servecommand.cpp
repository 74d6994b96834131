// ostrellectl serve: the panel's polling without a window, and the network
// control server over it, so that a small computer beside the radio lets
// other programs drive it.

#include "cli/audiooptions.h"
#include "cli/commands.h"

#include "activity/walltime.h"
#include "cli/audiocommands.h"
#include "cli/exitcodes.h"
#include "cli/interrupt.h"
#include "protocol/linkstate.h"
#include "cli/messages.h"

#include "station/station.h"

namespace cli {

#if defined(_WIN32)

// The control server speaks POSIX sockets.
int CommandServe(const Options& /*options*/, Station& /*station*/, const PortChoice& /*port*/)
{
    return Fail(ExitCode::Usage, "serve is not part of the Windows build; run it on Linux");
}

#else

namespace {

// Every change of the link's state wakes the loop; this is only a net.
constexpr auto LOOK_LIMIT = std::chrono::milliseconds(1000);

} // namespace

int CommandServe(const Options& o, Station& station, const PortChoice& port)
{
    StationSound sound;
    if (int code = 0; !sound.Prepare(o, code)) {
        return code;
    }
    control::ServerSettings settings;
    settings.address = o.listenAddress;
    settings.port = static_cast<uint16_t>(o.rigctlPort);
    std::string error;
    // Listening first: a port in use is told before the radio is touched.
    if (!station.StartControl(settings, error)) {
        return Fail(ExitCode::PortUnavailable, error);
    }
    if (const int opened = OpenLink(station, port); opened != Code(ExitCode::Done)) {
        return opened;
    }
    // The worker and the interrupt call back into this frame: both are gone
    // before the frame is. Serving ends before the link, and both before the
    // last word is said.
    // The hits' wall clock outlives the worker that begins them.
    SystemWallTime wall(station.GetClock());
    StationWait wait(station, {&StationEvents::changed, &StationEvents::soundChanged, &StationEvents::hitsEnded});
    // A stream's titles come from the hits, which serve prints nowhere.
    if (Streams(o)) {
        station.StartActivity(wall, HitRules{});
    }
    sound.Start(station);
    station.StartPolling();
    Notice("Serving the radio on " + port.shown + " at " + station.ControlServer().Endpoint() +
           " to programs that use Hamlib (model 2, NET rigctl); Ctrl-C ends.");
    if (!control::IsLoopbackAddress(settings.address)) {
        Notice("Anyone who can reach this computer over the network can tune the radio.");
    }

    // The link's own states, as watch tells them: the worker closes a port
    // that hung up and looks for it once a second by itself.
    LinkState shown = station.Link().State();
    while (!interrupt::Requested()) {
        sound.Say(station);
        (void)station.TakeHits();
        const LinkState state = station.Link().State();
        if (state != shown) {
            Notice(LinkStateText(state, port.shown) +
                   (state == LinkState::NotAnswering ? "; serving on, and clients are told so." : ""));
            shown = state;
        }
        if (state == LinkState::PortGone && !o.reconnect) {
            wait.Stop();
            return ConnectionLost(port);
        }
        (void)wait.Wait(LOOK_LIMIT);
    }
    wait.Stop();
    return Interrupted();
}

#endif

} // namespace cli
