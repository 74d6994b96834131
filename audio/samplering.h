#pragma once

// The last seconds of what was captured, by position (samples since the
// capture began) and by the link's tick: written on the capture's thread,
// read by a consumer's own thread. The capture never waits for the reader:
// what the reader has not taken before it is written over is gone, and the
// reader sees so from the positions.

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <vector>

class SampleRing {
public:
    explicit SampleRing(size_t capacity) : ring(capacity) {}

    // The capture's side.
    void Push(uint32_t tick, const int16_t* samples, size_t count);
    // What follows does not continue what came before (the input was lost).
    void Break();

    struct Extent {
        uint64_t begin = 0;    // the oldest position still held
        uint64_t end = 0;      // one past the newest
        uint64_t runBegin = 0; // where the input's current run began
    };
    Extent Held() const;
    // The position of the sample that reached the input at `tick`, in the
    // current run (not before its start); false before anything of the run
    // came. It may lie beyond what has come so far.
    bool PositionOf(uint32_t tick, uint64_t& position) const;
    // Copies up to `count` samples from `from` on, as far as they are held:
    // how many.
    size_t Read(uint64_t from, int16_t* out, size_t count) const;

private:
    mutable std::mutex lock;
    std::vector<int16_t> ring;
    uint64_t end = 0;
    uint64_t runBegin = 0;
    bool anchored = false;
    uint32_t anchorTick = 0;
    uint64_t anchorPosition = 0;
};
