#pragma once

// Cuts the byte stream from the PC into frames. The PC never waits for an
// acknowledgement, so a frame that is damaged on the line must simply vanish
// without taking the next good frame with it.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

namespace sim {

using Bytes = std::vector<uint8_t>;

struct Frame {
    uint8_t letter = 0;
    Bytes payload;
    Bytes raw; // the whole frame as it came, for the trace
};

// Payload length for a command letter the radio understands, -1 for any other.
int PayloadLengthFor(uint8_t letter);

class FrameParser {
public:
    // Called once per good frame, and once per run of bytes that belong to no
    // frame (so that a trace shows what the line carried).
    using FrameHandler = std::function<void(const Frame&)>;
    using JunkHandler = std::function<void(const Bytes&)>;

    void SetHandlers(FrameHandler onFrame, JunkHandler onJunk);

    void Feed(const uint8_t* data, size_t length);

    // True when no partial frame is held, so that a lone byte arriving now
    // stands outside any frame (the flow byte of an image transfer).
    bool Idle() const { return pending.empty(); }

    // Gives up on a partial frame that has waited too long for its rest: a
    // frame cut off on the line must not hold back the frames behind it.
    void Expire();

    // Drops any partial frame, e.g. when the stream turns into image data.
    void Reset() { pending.clear(); }

    uint32_t goodFrames = 0;
    uint32_t badChecksums = 0;
    uint32_t junkBytes = 0;

private:
    void Scan();
    void EmitJunk(size_t count);

    Bytes pending;
    FrameHandler frameHandler;
    JunkHandler junkHandler;
};

} // namespace sim
