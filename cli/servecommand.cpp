// ostrellectl serve: the panel's polling without a window, and the network
// control server over it, so that a small computer beside the radio lets
// other programs drive it.

#include "commands.h"

#include "exitcodes.h"
#include "interrupt.h"
#include "linkaccess.h"
#include "linkstate.h"
#include "messages.h"
#include "radiolink.h"
#include "rigctlserver.h"

namespace cli {

namespace {

constexpr uint32_t LOOK_EVERY_MS = 100;

} // namespace

int CommandServe(const Options& o, const PortChoice& port)
{
    RadioLink link;
    control::LinkAccess access(link);
    // Declared after the link: it stops serving before the link goes.
    control::RigctlServer server(access);
    control::ServerSettings settings;
    settings.address = o.listenAddress;
    settings.port = static_cast<uint16_t>(o.rigctlPort);
    std::string error;
    // Listening first: a port in use is told before the radio is touched.
    if (!server.Start(settings, error)) {
        return Fail(ExitCode::PortUnavailable, error);
    }
    if (const int opened = OpenLink(link, port); opened != Code(ExitCode::Done)) {
        return opened;
    }
    link.StartPolling();
    Notice("Serving the radio on " + port.shown + " at " + server.Endpoint() +
           " to programs that use Hamlib (model 2, NET rigctl); Ctrl-C ends.");
    if (!control::IsLoopbackAddress(settings.address)) {
        Notice("Anyone who can reach this computer over the network can tune the radio.");
    }

    // The link's own states, as watch tells them: the worker closes a port
    // that hung up and looks for it once a second by itself.
    LinkState shown = link.State();
    while (interrupt::Sleep(LOOK_EVERY_MS)) {
        const LinkState state = link.State();
        if (state != shown) {
            Notice(LinkStateText(state, port.shown) +
                   (state == LinkState::NotAnswering ? "; serving on, and clients are told so." : ""));
            shown = state;
        }
        if (state == LinkState::PortGone && !o.reconnect) {
            server.Stop();
            link.StopWorker();
            return Fail(ExitCode::NoAnswer, "The connection to the radio on " + port.shown +
                                                " was lost. Check the cable; --reconnect waits for it.");
        }
    }
    server.Stop();
    link.StopWorker();
    return Fail(ExitCode::Interrupted, "interrupted");
}

} // namespace cli
