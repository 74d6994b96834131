#include "audio/samplering.h"

#include "audio/capture.h"

#include <algorithm>

void SampleRing::Push(uint32_t tick, const int16_t* samples, size_t count)
{
    const std::lock_guard<std::mutex> guard(lock);
    // Each piece says anew when it came, so that the sound card's clock and
    // the link's may drift apart without the two drifting in the files.
    anchored = true;
    anchorTick = tick;
    anchorPosition = end;
    const size_t size = ring.size();
    if (count > size) {
        samples += count - size;
        end += count - size;
        count = size;
    }
    const size_t at = static_cast<size_t>(end % size);
    const size_t first = std::min(count, size - at);
    std::copy(samples, samples + first, ring.begin() + static_cast<std::ptrdiff_t>(at));
    std::copy(samples + first, samples + count, ring.begin());
    end += count;
}

void SampleRing::Break()
{
    const std::lock_guard<std::mutex> guard(lock);
    runBegin = end;
    anchored = false;
}

SampleRing::Extent SampleRing::Held() const
{
    const std::lock_guard<std::mutex> guard(lock);
    return {end > ring.size() ? end - ring.size() : 0, end, runBegin};
}

bool SampleRing::PositionOf(uint32_t tick, uint64_t& position) const
{
    const std::lock_guard<std::mutex> guard(lock);
    if (!anchored) {
        return false;
    }
    const int64_t offset = int64_t{static_cast<int32_t>(tick - anchorTick)} * SAMPLES_PER_MS;
    const int64_t at = static_cast<int64_t>(anchorPosition) + offset;
    position = static_cast<uint64_t>(std::max<int64_t>(at, static_cast<int64_t>(runBegin)));
    return true;
}

size_t SampleRing::Read(uint64_t from, int16_t* out, size_t count) const
{
    const std::lock_guard<std::mutex> guard(lock);
    const size_t size = ring.size();
    const uint64_t oldest = end > size ? end - size : 0;
    if (from < oldest || from >= end) {
        return 0;
    }
    count = static_cast<size_t>(std::min<uint64_t>(count, end - from));
    const size_t at = static_cast<size_t>(from % size);
    const size_t first = std::min(count, size - at);
    std::copy(ring.begin() + static_cast<std::ptrdiff_t>(at), ring.begin() + static_cast<std::ptrdiff_t>(at + first),
              out);
    std::copy(ring.begin(), ring.begin() + static_cast<std::ptrdiff_t>(count - first), out + first);
    return count;
}
