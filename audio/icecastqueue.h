#pragma once

// A bounded queue of samples from one thread that must never wait (the
// capture) to one other (the stream's worker). No lock: each side moves only
// its own index, and what does not fit is refused, for the caller to count.

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace audio {

class SampleQueue {
public:
    explicit SampleQueue(size_t capacity) : cells(capacity + 1) {}

    // The producer's side: takes as many samples as fit, returns how many.
    size_t Push(const int16_t* samples, size_t count)
    {
        const size_t tail = writeIndex.load(std::memory_order_relaxed);
        const size_t head = readIndex.load(std::memory_order_acquire);
        const size_t room = (head + cells.size() - tail - 1) % cells.size();
        const size_t taken = count < room ? count : room;
        const size_t first = std::min(taken, cells.size() - tail);
        std::copy_n(samples, first, cells.begin() + static_cast<std::ptrdiff_t>(tail));
        std::copy_n(samples + first, taken - first, cells.begin());
        writeIndex.store((tail + taken) % cells.size(), std::memory_order_release);
        return taken;
    }

    // The consumer's side: moves up to `count` samples out, returns how many.
    size_t Pop(int16_t* samples, size_t count)
    {
        const size_t head = readIndex.load(std::memory_order_relaxed);
        const size_t available = Available(head);
        const size_t taken = count < available ? count : available;
        const size_t first = std::min(taken, cells.size() - head);
        std::copy_n(cells.begin() + static_cast<std::ptrdiff_t>(head), first, samples);
        std::copy_n(cells.begin(), taken - first, samples + first);
        readIndex.store((head + taken) % cells.size(), std::memory_order_release);
        return taken;
    }

    // What the consumer may take now.
    size_t Size() const { return Available(readIndex.load(std::memory_order_relaxed)); }

private:
    size_t Available(size_t head) const
    {
        const size_t tail = writeIndex.load(std::memory_order_acquire);
        return (tail + cells.size() - head) % cells.size();
    }

    // Not "slots": the window toolkit takes that word for its own.
    std::vector<int16_t> cells; // one stays empty, so that full and empty differ
    std::atomic<size_t> readIndex{0};
    std::atomic<size_t> writeIndex{0};
};

} // namespace audio
