#pragma once

// Bounded waits of the POSIX backends: a deadline on the steady clock, and
// poll() against it that survives signals.

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>

#include <poll.h>

namespace posixwait {

using SteadyClock = std::chrono::steady_clock;

inline int MsLeft(SteadyClock::time_point deadline)
{
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - SteadyClock::now());
    return static_cast<int>(std::max<std::chrono::milliseconds::rep>(0, left.count()));
}

inline SteadyClock::time_point DeadlineAfter(int32_t timeoutMs)
{
    return SteadyClock::now() + std::chrono::milliseconds(std::max<int32_t>(0, timeoutMs));
}

// The revents, or 0 when the limit passed.
inline short PollFor(int fd, short events, SteadyClock::time_point deadline)
{
    for (;;) {
        pollfd p{fd, events, 0};
        const int n = ::poll(&p, 1, MsLeft(deadline));
        if (n > 0) {
            return p.revents;
        }
        if (n == 0) {
            return 0;
        }
        if (errno != EINTR) {
            return POLLERR;
        }
    }
}

} // namespace posixwait
