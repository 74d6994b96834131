// ostrellectl serve: the panel's polling without a window, and the network
// control server over it, so that a small computer beside the radio lets
// other programs drive it.

#include "commands.h"

#include "exitcodes.h"
#include "interrupt.h"
#include "linkaccess.h"
#include "messages.h"
#include "radiolink.h"
#include "rigctlserver.h"

#include <chrono>

namespace cli {

namespace {

// How long the radio may stay silent before the user is told.
constexpr auto SILENCE_LIMIT = std::chrono::milliseconds(1000);
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
    if (settings.address != control::LOOPBACK_ADDRESS) {
        Notice("Anyone who can reach this computer over the network can tune the radio.");
    }

    auto lastReply = std::chrono::steady_clock::now();
    uint64_t replies = 0;
    bool answering = true;
    while (interrupt::Sleep(LOOK_EVERY_MS)) {
        const uint64_t count = link.statusRepliesStored;
        const auto now = std::chrono::steady_clock::now();
        if (count != replies) {
            replies = count;
            lastReply = now;
            if (!answering) {
                Notice("The radio answers again.");
            }
            answering = true;
        } else if (answering && now - lastReply > SILENCE_LIMIT) {
            Notice("The radio does not answer on " + port.shown + "; serving on, and clients are told so.");
            answering = false;
        }
        if (link.Port().HungUp() || !link.Port().IsOpen()) {
            if (!o.reconnect) {
                return Fail(ExitCode::NoAnswer, "The connection to the radio on " + port.shown +
                                                    " was lost. Check the cable; --reconnect waits for it.");
            }
            if (!Reopen(link, port)) {
                break;
            }
            lastReply = std::chrono::steady_clock::now();
        }
    }
    server.Stop();
    link.StopWorker();
    return Fail(ExitCode::Interrupted, "interrupted");
}

} // namespace cli
