#pragma once

// What the fault cases share: processor time and memory of this process,
// bounded waits, and radiosim's trace read back into whole frames.

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <functional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <sys/resource.h>

namespace fault {

using Bytes = std::vector<uint8_t>;
using std::chrono::milliseconds;
using std::chrono::steady_clock;

inline double ProcessCpuSeconds()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    auto seconds = [](const timeval& tv) { return static_cast<double>(tv.tv_sec) + tv.tv_usec / 1e6; };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

// Resident set of this process in KiB, from /proc; 0 when unknown.
inline long ResidentKiB()
{
    std::FILE* f = std::fopen("/proc/self/status", "re");
    if (f == nullptr) {
        return 0;
    }
    char line[256];
    long kib = 0;
    while (std::fgets(line, sizeof line, f) != nullptr) {
        if (std::strncmp(line, "VmRSS:", 6) == 0) {
            kib = std::strtol(line + 6, nullptr, 10);
            break;
        }
    }
    (void)std::fclose(f); // read only: nothing to lose
    return kib;
}

inline int64_t MsSince(steady_clock::time_point start)
{
    return std::chrono::duration_cast<milliseconds>(steady_clock::now() - start).count();
}

// Waits in short sleeps until `done` holds; false once timeoutMs has passed.
inline bool WaitFor(const std::function<bool()>& done, int timeoutMs)
{
    const auto deadline = steady_clock::now() + milliseconds(timeoutMs);
    while (!done()) {
        if (steady_clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(milliseconds(2));
    }
    return true;
}

// The bytes of one trace line of the given direction ("PC->RADIO" or
// "RADIO->PC"); empty for a line of the other direction.
inline Bytes TraceBytes(const std::string& line, const char* direction)
{
    const auto at = line.find(direction);
    if (at == std::string::npos) {
        return {};
    }
    Bytes bytes;
    for (size_t i = at + std::strlen(direction); i + 2 < line.size() + 1; ++i) {
        if (line[i] == ' ') {
            continue;
        }
        bytes.push_back(static_cast<uint8_t>(std::stoi(line.substr(i, 2), nullptr, 16)));
        ++i;
    }
    return bytes;
}

// Every whole reply of `length` bytes that begins STX, `letter` inside the
// lines radiosim sent, as the bytes from offset 2 to length - 2.
inline std::set<Bytes> WholeReplies(const std::vector<std::string>& trace, uint8_t letter, size_t length)
{
    std::set<Bytes> found;
    for (const std::string& line : trace) {
        const Bytes bytes = TraceBytes(line, "RADIO->PC");
        for (size_t i = 0; i + length <= bytes.size(); ++i) {
            if (bytes[i] == 0x02 && bytes[i + 1] == letter) {
                found.emplace(bytes.begin() + static_cast<long>(i) + 2,
                              bytes.begin() + static_cast<long>(i + length) - 2);
            }
        }
    }
    return found;
}

} // namespace fault
