#pragma once

// Real time whose 32-bit tick wraps `leadMs` after it is first read, so that
// whatever runs on it crosses the wrap at a known moment: a limit compared as
// absolute ticks instead of as a difference fails there. Sleeps are real.

#include "serial/clock.h"

#include <cstdint>
#include <mutex>

class WrapClock final : public Clock {
public:
    explicit WrapClock(uint32_t leadMs) : lead(leadMs) {}

    uint32_t TickCount() override
    {
        const uint32_t now = SystemClock().TickCount();
        std::call_once(first, [&] { offset = (0u - lead) - now; });
        return now + offset;
    }
    void Sleep(uint32_t ms) override { SystemClock().Sleep(ms); }

private:
    const uint32_t lead;
    std::once_flag first;
    uint32_t offset = 0;
};
