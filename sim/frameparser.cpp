#include "sim/frameparser.h"

#include "protocol/frames.h"

#include <algorithm>

namespace sim {

int PayloadLengthFor(uint8_t letter)
{
    switch (letter) {
    case CMD_LCD:
    case CMD_STATUS: return 0;
    case CMD_KEY:
    case CMD_CLONE: return 1;
    case CMD_TUNE: return 5;
    default: return -1;
    }
}

void FrameParser::SetHandlers(FrameHandler onFrame, JunkHandler onJunk)
{
    frameHandler = std::move(onFrame);
    junkHandler = std::move(onJunk);
}

void FrameParser::Feed(const uint8_t* data, size_t length)
{
    pending.insert(pending.end(), data, data + length);
    Scan();
}

void FrameParser::EmitJunk(size_t count)
{
    if (count == 0) {
        return;
    }
    junkBytes += static_cast<uint32_t>(count);
    if (junkHandler) {
        junkHandler(Bytes(pending.begin(), pending.begin() + static_cast<std::ptrdiff_t>(count)));
    }
    pending.erase(pending.begin(), pending.begin() + static_cast<std::ptrdiff_t>(count));
}

void FrameParser::Expire()
{
    if (!pending.empty()) {
        EmitJunk(1);
        Scan();
    }
}

void FrameParser::Scan()
{
    for (;;) {
        const auto stx = std::find(pending.begin(), pending.end(), STX);
        EmitJunk(static_cast<size_t>(stx - pending.begin()));
        if (pending.size() < 2) {
            return;
        }
        const int payloadLength = PayloadLengthFor(pending[1]);
        if (payloadLength < 0) {
            // A stray STX: the next frame may begin right after it.
            EmitJunk(1);
            continue;
        }
        const size_t total = 4 + static_cast<size_t>(payloadLength);
        if (pending.size() < total) {
            return;
        }
        if (pending[2 + payloadLength] != ETX) {
            // Wrong length for its letter, so it was no frame; a real one may
            // start inside what looked like its payload.
            EmitJunk(1);
            continue;
        }
        Frame frame;
        frame.letter = pending[1];
        frame.raw.assign(pending.begin(), pending.begin() + static_cast<std::ptrdiff_t>(total));
        pending.erase(pending.begin(), pending.begin() + static_cast<std::ptrdiff_t>(total));
        if (Checksum(frame.raw.data(), frame.raw.size()) != frame.raw.back()) {
            // Shaped like a frame but damaged: acting on it could press the
            // wrong key, so it is dropped whole.
            ++badChecksums;
            continue;
        }
        frame.payload.assign(frame.raw.begin() + 2, frame.raw.end() - 2);
        ++goodFrames;
        if (frameHandler) {
            frameHandler(frame);
        }
    }
}

} // namespace sim
