#pragma once

// What the transfer tests share: files with known bytes, streams that count
// their closes, a clock without pauses and the transfer timer's loop.

#include "transfer/imagetransfer.h"
#include "protocol/radiolink.h"

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>
#include <vector>

inline std::vector<uint8_t> PatternBytes(size_t count, uint8_t seed = 7)
{
    std::vector<uint8_t> bytes(count);
    for (size_t i = 0; i < count; ++i) {
        bytes[i] = static_cast<uint8_t>(seed + i * 31 + (i / 132));
    }
    return bytes;
}

// A scratch directory removed with everything in it when the test ends.
class ScratchDir {
public:
    ScratchDir();
    virtual ~ScratchDir();
    std::string File(const std::string& name) const { return path + "/" + name; }
    std::string Write(const std::string& name, const std::vector<uint8_t>& bytes) const;
    const std::string& Path() const { return path; }

private:
    std::string path;
};

std::vector<uint8_t> ReadFileBytes(const std::string& path);

// A stream in memory whose closes are counted, to prove that no stream of a
// transfer is closed twice. The counter outlives the stream.
struct CountedStream {
    std::vector<uint8_t> data;
    size_t position = 0;
    int closes = 0;
};
std::FILE* OpenCounted(const std::shared_ptr<CountedStream>& state, const char* mode);

// Real ticks, but sleeps that return at once: the line fills as fast as the
// device takes bytes, so a full line is reached in moments.
class FastClock final : public Clock {
public:
    uint32_t TickCount() override { return SystemClock().TickCount(); }
    void Sleep(uint32_t ms) override { std::this_thread::sleep_for(std::chrono::milliseconds(ms > 0 ? 1 : 0)); }
};

// The transfer timer: looks every 100 ms until the transfer has ended.
inline TransferReport SuperviseUntilEnded(RadioLink& link, ImageTransfer& transfer, int boundMs)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(boundMs);
    while (std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        TransferReport report = transfer.Supervise(link);
        if (report.ended) {
            return report;
        }
    }
    return {};
}

inline int64_t MsBetween(std::chrono::steady_clock::time_point a, std::chrono::steady_clock::time_point b)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(b - a).count();
}

// Waits, in short sleeps, until `done` holds or the bound passes.
template <typename Predicate>
bool WaitUntil(Predicate done, int boundMs)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(boundMs);
    while (!done()) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}
