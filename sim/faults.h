#pragma once

// What the line and the radio do wrong on request. Each fault is one step on
// the way of a reply out, so that the switches combine in a fixed order.

#include "sim/frameparser.h"
#include "sim/options.h"

#include <optional>
#include <random>

namespace sim {

class ReplyFaults {
public:
    ReplyFaults(const SimOptions& options, uint32_t seed);

    // The bytes that go out for `reply`, or nothing when the reply is lost.
    std::optional<Bytes> Shape(Bytes reply);

    // Line noise: never STX, so that it cannot open a frame, and never the
    // flow byte, so that it cannot pass for the ready signal of a transfer.
    Bytes Junk(size_t count);

    uint32_t dropped = 0;

private:
    const SimOptions& options;
    std::mt19937 rng;
};

} // namespace sim
