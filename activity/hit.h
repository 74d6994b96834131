#pragma once

// One hit: a period during which the radio's squelch stood open, as its
// status showed it. Everything the activity log keeps of it.

#include <cstdint>
#include <string>

struct Hit {
    int64_t startMs = 0;          // wall time of the start, ms since 1970-01-01 UTC
    int32_t utcOffsetMinutes = 0; // the local time's offset from UTC then
    uint32_t durationMs = 0;
    uint32_t frequencyHz = 0;
    std::string modulation;       // as the panel shows them
    std::string mode;
    std::string display;          // the four rows at the start, as shown, trimmed and joined (UTF-8)
    uint16_t rssiMax = 0;
    uint16_t rssiMean = 0;
    std::string recording;        // the file name of what was heard, empty when nothing was recorded

    bool operator==(const Hit&) const = default;
};
