#pragma once

#include "cli/options.h"
#include "cli/portchoice.h"

class Station;

namespace cli {

class StationSound;

// Carries out a parsed command line; returns the exit code (exitcodes.h).
int Run(const Options& options);

// Opens the port for a command; the exit code, with the reason said when it fails.
int OpenLink(Station& station, const PortChoice& port);

#if !defined(_WIN32)
// serve: listens, opens the port, polls the radio and serves the rigctld
// protocol until interrupted.
int CommandServe(Station& station, const Options& options, const PortChoice& port, StationSound& sound);
#endif

} // namespace cli
