// The commands of ostrellectl over the core: the same RadioLink, poll worker
// and transfer workers as the front panel, with standard output for results
// and standard error for everything said to the user.

#include "cli/commands.h"

#include "cli/exitcodes.h"
#include "cli/interrupt.h"
#include "cli/messages.h"
#include "config/programinfo.h"
#include "protocol/radiolink.h"

#include "station/station.h"

#include <array>
#include <chrono>
#include <cstdio>

namespace cli {

bool Emit(const std::string& text)
{
    return std::fwrite(text.data(), 1, text.size(), stdout) == text.size() && std::fflush(stdout) == 0;
}

int Interrupted()
{
    return Fail(ExitCode::Interrupted, "interrupted");
}

int ConnectionLost(const PortChoice& port)
{
    return Fail(ExitCode::NoAnswer,
                "The connection to the radio on " + port.shown + " was lost. Check the cable; --reconnect waits for it.");
}

StationWait::StationWait(Station& station, std::initializer_list<std::function<void()> StationEvents::*> events)
    : station(station)
{
    StationEvents wakers;
    for (const auto event : events) {
        wakers.*event = [this] { Raise(); };
    }
    station.SetEvents(wakers);
    interrupt::SetWaker([this] { Raise(); });
}

StationWait::~StationWait()
{
    Stop();
    station.SetEvents({});
}

void StationWait::Stop()
{
    interrupt::SetWaker({});
#if !defined(_WIN32)
    station.StopControl();
#endif
    (void)station.Stop();
}

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

int Reach(Station& station, const PortChoice& port, bool (*poll)(RadioLink&, uint8_t*))
{
    if (const int opened = OpenLink(station, port); opened != Code(ExitCode::Done)) {
        return opened;
    }
    // A line that has just been opened may lose the first poll: polled
    // again until a reply is stored or the radio has had its time to answer.
    RadioLink& link = station.Link();
    std::array<uint8_t, LCD_REPLY_LENGTH> buffer{};
    const auto start = std::chrono::steady_clock::now();
    while (!interrupt::Requested()) {
        if (poll(link, buffer.data())) {
            return Code(ExitCode::Done);
        }
        if (std::chrono::steady_clock::now() - start >= std::chrono::milliseconds(ANSWER_LIMIT_MS) ||
            link.Port().HungUp() || !interrupt::Sleep(10)) {
            break;
        }
    }
    // Why no reply came: the user's Ctrl-C, or the radio.
    if (interrupt::Requested()) {
        return Interrupted();
    }
    return Fail(ExitCode::NoAnswer, "The radio did not answer on " + port.shown +
                                        ". Check that it is switched on, that the cable sits in the PC/IF "
                                        "socket, and that the port is the right one (ostrellectl ports).");
}

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
    const CommandDef& command = *FindCommand(o.command); // ParseOptions knew it
    if (command.onRadio == nullptr) {
        return command.local(o);
    }
    PortChoice port;
    std::string error;
    if (!ChoosePort(o.port, port, error)) {
        return Fail(ExitCode::Usage, error);
    }
    // Everything the words say is checked by the command before the port is touched.
    Station station;
    const int code = command.onRadio(o, station, port);
    (void)station.Stop();
    return code;
}

} // namespace cli
