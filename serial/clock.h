#pragma once

#include <cstdint>

// The one source of time for the core. Ticks are milliseconds in 32 bits that
// wrap, and every comparison is an unsigned difference, so a run that crosses
// the wrap behaves like any other. Tests replace it to step time by hand.
class Clock {
public:
    virtual ~Clock() = default;
    virtual uint32_t TickCount() = 0;
    virtual void Sleep(uint32_t ms) = 0;
};

// The process-wide real clock (monotonic, unaffected by changes of the date).
Clock& SystemClock();
