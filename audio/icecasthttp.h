#pragma once

// The few plain HTTP requests a source makes to Icecast beside its stream,
// each with a time limit: the title update of an MP3 mount, and the probe
// that finds why the server refused a login. libshout says only "Login
// failed" for a wrong password and a mount in use alike, and its own title
// update waits without a limit on a server that does not answer.

#include "audio/icecastsettings.h"
#include "serial/clock.h"

#include <cstdint>
#include <string>

namespace audio {

struct Refusal {
    bool login = false; // the user or password was wrong: trying again will not help
    std::string reason; // in words, with the server's own where it gave one
};

// Asks the server, as a source would, why it refuses these settings.
Refusal AskWhyRefused(const StreamSettings& settings, uint32_t limitMs, Clock& clock = SystemClock());

// Why the server cannot be reached, in words (its name unknown, the
// connection refused, no answer), with the system's reason; empty when a
// connection can be made after all.
std::string WhyUnreachable(const StreamSettings& settings, uint32_t limitMs, Clock& clock = SystemClock());

// Sets the title of the settings' mount through the server's metadata
// update. Returns what went wrong in words, empty when the server took it.
std::string UpdateIcecastTitle(const StreamSettings& settings, const std::string& title, uint32_t limitMs,
                               Clock& clock = SystemClock());

} // namespace audio
