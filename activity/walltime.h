#pragma once

// Wall time for the activity log. The link's clock counts milliseconds that
// wrap and know no date; the log needs the local date and time with its
// offset. Each hit's start is mapped when the hit is found, from the wall
// clock read at that moment less the ticks since the reply, so a clock set
// right while the program runs is followed from the next hit on.

#include "serial/clock.h"

#include <compare>
#include <cstdint>
#include <string>
#include <string_view>

// A local calendar day.
struct Day {
    int year = 1970;
    int month = 1;
    int day = 1;

    auto operator<=>(const Day&) const = default;
};

class WallTime {
public:
    virtual ~WallTime() = default;
    // The wall time, ms since 1970-01-01 UTC, at which the link's clock read `tick`.
    virtual int64_t MsOfTick(uint32_t tick) = 0;
    // The local time's offset from UTC in minutes at `ms`.
    virtual int32_t OffsetMinutesAt(int64_t ms) = 0;
};

// The system's clock and time zone against the link's clock.
class SystemWallTime final : public WallTime {
public:
    explicit SystemWallTime(Clock& linkClock) : clock(linkClock) {}
    int64_t MsOfTick(uint32_t tick) override;
    int32_t OffsetMinutesAt(int64_t ms) override;

private:
    Clock& clock;
};

// The local day that `ms` falls on at `offsetMinutes` from UTC.
Day LocalDay(int64_t ms, int32_t offsetMinutes);
// "2026-12-08T11:31:40.123+01:00"
std::string IsoLocalTime(int64_t ms, int32_t offsetMinutes);
// The reverse, for exactly that form (the offset may also be "Z").
bool ParseIsoLocalTime(std::string_view text, int64_t& ms, int32_t& offsetMinutes);
// "2026-12-08", and back.
std::string DayText(Day day);
bool ParseDayText(std::string_view text, Day& day);
