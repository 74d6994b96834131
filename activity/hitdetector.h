#pragma once

// Finds hits in the stored poll replies. A hit begins with the first status
// reply whose "RF SQ" bit is set and ends with the first one without it; a
// squelch that opens again on the same frequency within the merge gap
// continues the same hit. It is a function of the replies and their ticks
// alone (and of the wall time its start is mapped to), so that the window
// and ostrellectl find the same hits, and a test can play any sequence.

#include "activity/hit.h"
#include "protocol/radiolink.h"
#include "activity/walltime.h"

#include <cstdint>
#include <functional>
#include <vector>

struct HitRules {
    // A squelch that opens again this soon on the same frequency continues the hit.
    uint32_t mergeGapMs = 1000;
    // No status reply for longer than this: the radio was not heard, and
    // whatever was open ended with the last reply that showed it.
    uint32_t silenceMs = 1000;
};

// The bit of `indicatorFlags` that is lit while the squelch is open.
inline constexpr uint8_t SQUELCH_OPEN_FLAG = 0x01;

// How a hit goes while it lasts, for whoever follows it as it happens (the
// audio recorder): the hits themselves are still reported only as they end.
enum class HitEdge {
    Began,    // the squelch opened: a new hit; `hit` holds what is known at its start
    Closed,   // the squelch closed; the hit may yet go on within the merge gap
    Reopened, // it opened again within the gap: the same hit goes on
    Ended,    // the hit ended at `tick`; `hit` is the one reported, which the observer may still annotate
    Shown,    // the display at the hit's start is known now (see Feed): `hit.display` holds it; once a hit
};
// `tick` is the link's tick of the reply that showed the edge (for Ended the
// hit's end). Called on the thread that feeds the detector: it must return at once.
using HitObserver = std::function<void(HitEdge edge, uint32_t tick, Hit& hit)>;

class HitDetector {
public:
    explicit HitDetector(WallTime& wall, HitRules rules = {});

    void SetObserver(HitObserver follower) { observer = std::move(follower); }

    // Every stored reply, in the order stored; the hits it ended are added
    // to `ended`, oldest first.
    void Feed(const StoredReply& reply, std::vector<Hit>& ended);
    // The link stops (or the program ends): a hit open or waiting out the
    // gap ends now, at the last reply that showed it.
    void Close(std::vector<Hit>& ended);
    // True while a hit is open or may still be continued.
    bool InProgress() const { return active; }

private:
    void Begin(const StoredReply& reply);
    void Sample(uint16_t rssi);
    void End(uint32_t endTick, std::vector<Hit>& ended);
    Hit Summary(uint32_t endTick) const;
    void Tell(HitEdge edge, uint32_t tick) const;

    WallTime& wall;
    HitRules rules;
    HitObserver observer;

    bool heard = false;      // a status reply came since the link started
    uint32_t lastStatusTick = 0;

    bool active = false;     // a hit is open or waiting out the gap
    bool open = false;       // its squelch is open now
    bool displayTaken = false;
    uint32_t startTick = 0;
    uint32_t closedTick = 0; // the first reply without the squelch
    RadioStatus status;      // at the start
    LcdImage display;        // at the start (see Feed)
    uint64_t rssiSum = 0;
    uint32_t samples = 0;
    uint16_t rssiMax = 0;
    int64_t startMs = 0;
    int32_t offsetMinutes = 0;
};

// The display as the log keeps it: each row as shown, trimmed, the rows that
// are not empty joined with " | ". Empty without a display.
std::string DisplayText(const LcdImage& lcd);
