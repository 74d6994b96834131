#pragma once

// What the benchmarks measure alike: processor time, elapsed time and the
// resident memory of this process.

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <string>

#include <sys/resource.h>

// Processor time of the whole process (RUSAGE_SELF) or of the calling
// thread (RUSAGE_THREAD), user and system together, for the benchmarks'
// shares of a core.
inline double CpuSeconds(int who)
{
    rusage usage{};
    ::getrusage(who, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

inline double SecondsSince(std::chrono::steady_clock::time_point start)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// The resident memory of this process, in KiB.
inline long ResidentKiB()
{
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("VmRSS:", 0) == 0) {
            return std::strtol(line.c_str() + 6, nullptr, 10);
        }
    }
    return 0;
}
