#pragma once

// Command line of radiosim. Every fault a test may want is one switch, so a
// test names the misbehaviour it needs and nothing else changes.

#include "sim/traffic.h"
#include "sim/voice.h"

#include <cstdint>
#include <string>
#include <vector>

namespace sim {

struct SimOptions {
    std::string linkPath;
    bool trace = false;
    std::string traceFile;
    uint32_t seed = 1;

    // What is on the air: a script, else random traffic of this many
    // transmissions a minute.
    std::string activityFile;
    int trafficPerMinute = DEFAULT_CALLS_PER_MINUTE;

    // The loudspeaker: sound into a sound-server sink while a call is heard.
    VoiceKind voice = VoiceKind::None;
    std::string voiceName; // as given, for the message when it is neither kind
    std::string voiceSink;

    // Memory image.
    std::string imageFile;
    int records = 200;
    int expectRecords = -1; // -1: as many as the current image holds
    int readyJunk = 0;
    int readyDelayMs = 0;
    bool neverReady = false;
    long pauseAt = -1;
    int pauseMs = 0;

    // Faults of the poll replies and of the line.
    bool noReply = false;
    int delayMs = 0;
    int junk = 0;
    int truncate = -1;
    int dropPercent = 0;
    bool wrongLetter = false;
    int hangupAfterMs = -1;
    int floodSeconds = 0;

    bool help = false;
};

// False with a message for the user when an argument is unknown or out of
// range; `args` excludes the program name.
bool ParseOptions(const std::vector<std::string>& args, SimOptions& options, std::string& error);

const char* UsageText();

} // namespace sim
