// The simulated radio's frame parser fed arbitrary bytes in arbitrary pieces,
// with its time-outs and resets in between. Every frame it hands on must be
// whole and sound, and, with no time-out in the way, the pieces the stream
// came in must change nothing: neither the frames nor the junk.

#include "sim/frameparser.h"

#include "protocol/frames.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

namespace {

struct Seen {
    std::vector<sim::Frame> frames;
    sim::Bytes junk;
    uint32_t junkRuns = 0;
};

void Collect(sim::FrameParser& parser, Seen& seen)
{
    parser.SetHandlers([&seen](const sim::Frame& frame) { seen.frames.push_back(frame); },
                       [&seen](const sim::Bytes& junk) {
                           if (junk.empty()) {
                               std::abort(); // a junk report must carry bytes
                           }
                           ++seen.junkRuns;
                           seen.junk.insert(seen.junk.end(), junk.begin(), junk.end());
                       });
}

void CheckFrame(const sim::Frame& frame)
{
    const int length = sim::PayloadLengthFor(frame.letter);
    if (length < 0 || frame.payload.size() != static_cast<size_t>(length) ||
        frame.raw.size() != 4 + static_cast<size_t>(length) || frame.raw[0] != STX || frame.raw[1] != frame.letter ||
        frame.raw[2 + static_cast<size_t>(length)] != ETX ||
        Checksum(frame.raw.data(), frame.raw.size()) != frame.raw.back()) {
        std::abort();
    }
    for (size_t i = 0; i < frame.payload.size(); ++i) {
        if (frame.payload[i] != frame.raw[2 + i]) {
            std::abort();
        }
    }
}

bool SameFrames(const std::vector<sim::Frame>& a, const std::vector<sim::Frame>& b)
{
    if (a.size() != b.size()) {
        return false;
    }
    for (size_t i = 0; i < a.size(); ++i) {
        if (a[i].raw != b[i].raw) {
            return false;
        }
    }
    return true;
}

} // namespace

// The first byte chooses how the stream is cut and whether time-outs and
// resets happen; the rest is the stream. Each piece of a cut stream is led
// by a byte that gives its length (and, in bit 7, a time-out after it).
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 1) {
        return 0;
    }
    const bool withTimeouts = (data[0] & 1) != 0;
    const std::vector<uint8_t> input(data + 1, data + size);

    sim::FrameParser cut;
    Seen seenCut;
    Collect(cut, seenCut);
    std::vector<uint8_t> stream; // the bytes that went in, without the lengths
    size_t offset = 0;
    while (offset < input.size()) {
        const uint8_t lead = input[offset++];
        const size_t piece = std::min<size_t>(lead & 0x3F, input.size() - offset);
        cut.Feed(input.data() + offset, piece);
        stream.insert(stream.end(), input.begin() + static_cast<std::ptrdiff_t>(offset),
                      input.begin() + static_cast<std::ptrdiff_t>(offset + piece));
        offset += piece;
        if (withTimeouts && (lead & 0x80) != 0) {
            cut.Expire();
        }
        if (withTimeouts && (lead & 0x40) != 0) {
            cut.Reset();
            if (!cut.Idle()) {
                std::abort();
            }
        }
    }
    for (const auto& frame : seenCut.frames) {
        CheckFrame(frame);
    }
    if (cut.goodFrames != seenCut.frames.size() || cut.junkBytes != seenCut.junk.size()) {
        std::abort();
    }
    if (withTimeouts) {
        return 0;
    }

    sim::FrameParser whole;
    Seen seenWhole;
    Collect(whole, seenWhole);
    whole.Feed(stream.data(), stream.size());
    if (!SameFrames(seenCut.frames, seenWhole.frames) || seenCut.junk != seenWhole.junk ||
        cut.badChecksums != whole.badChecksums || cut.Idle() != whole.Idle()) {
        std::abort();
    }
    return 0;
}
