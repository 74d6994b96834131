#pragma once

// ostrellectl's commands, one file per group, and what they share. Each is
// called through its row in options.cpp.

#include "cli/options.h"
#include "cli/portchoice.h"
#include "cli/wakeup.h"

#include <cstdint>
#include <functional>
#include <initializer_list>

class RadioLink;
class Station;
struct StationEvents;

namespace cli {

// Carries out a parsed command line; returns the exit code (exitcodes.h).
int Run(const Options& options);

// oneshotcommands.cpp: one poll, keys or a tune frame on the open link; the COM map.
int CommandStatus(const Options& options, Station& station, const PortChoice& port);
int CommandLcd(const Options& options, Station& station, const PortChoice& port);
int CommandKey(const Options& options, Station& station, const PortChoice& port);
int CommandTune(const Options& options, Station& station, const PortChoice& port);
int CommandPorts(const Options& options);
// transfercommands.cpp: read and write.
int CommandTransfer(const Options& options, Station& station, const PortChoice& port);
// watchcommand.cpp
int CommandWatch(const Options& options, Station& station, const PortChoice& port);
// servecommand.cpp: listens, opens the port, polls the radio and serves the
// rigctld protocol until interrupted.
int CommandServe(const Options& options, Station& station, const PortChoice& port);

// Standard output carries results only; false once nobody reads it.
bool Emit(const std::string& text);

// Opens the port for a command; the exit code, with the reason said when it fails.
int OpenLink(Station& station, const PortChoice& port);

// Opens the port and polls with `poll` until a reply is stored: a radio
// that answers is there to take keys, tune frames and images, which get no
// answer of their own. The exit code, with the reason said when it fails.
int Reach(Station& station, const PortChoice& port, bool (*poll)(RadioLink&, uint8_t*));

// Says so and returns the exit code of a command ended by Ctrl-C or a signal.
int Interrupted();

// The port hung up and the command does not wait for it: says so, and returns the exit code.
int ConnectionLost(const PortChoice& port);

// A command's wait on its station: the station's events named, and Ctrl-C,
// wake it at once. Made before the workers start; at its end Ctrl-C is let
// go and the workers stopped before the events are, so that nothing calls
// back into a frame that is gone.
class StationWait {
public:
    StationWait(Station& station, std::initializer_list<std::function<void()> StationEvents::*> events);
    ~StationWait();
    StationWait(const StationWait&) = delete;
    StationWait& operator=(const StationWait&) = delete;

    // True when woken; false when `limit` passed first.
    bool Wait(std::chrono::milliseconds limit) { return wakeup.Wait(limit); }
    void Raise() { wakeup.Raise(); }
    // Ctrl-C let go; serving, the transfer and the link stopped.
    void Stop();

private:
    Station& station;
    Wakeup wakeup;
};

} // namespace cli
