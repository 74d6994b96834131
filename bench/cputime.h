#pragma once

// Processor time of the whole process (RUSAGE_SELF) or of the calling
// thread (RUSAGE_THREAD), user and system together, for the benchmarks'
// shares of a core.

#include <sys/resource.h>

inline double CpuSeconds(int who)
{
    rusage usage{};
    ::getrusage(who, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}
