#pragma once

// What the tests need to start a child process and hear it.

#include <cerrno>
#include <cstddef>
#include <functional>
#include <string>
#include <vector>

#include <poll.h>
#include <unistd.h>

// The pointers an exec call takes, ending in null; they point into `strings`,
// which must outlive them.
inline std::vector<char*> CStrings(std::vector<std::string>& strings)
{
    std::vector<char*> pointers;
    pointers.reserve(strings.size() + 1);
    for (auto& s : strings) {
        pointers.push_back(s.data());
    }
    pointers.push_back(nullptr);
    return pointers;
}

// Reads a child's standard output and error until both close, handing each
// piece to `take` with 0 for output and 1 for error. For a reader thread.
inline void PumpPipes(int outFd, int errFd, const std::function<void(int, const char*, size_t)>& take)
{
    pollfd fds[2] = {{outFd, POLLIN, 0}, {errFd, POLLIN, 0}};
    int open = 2;
    while (open > 0) {
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR) {
                continue;
            }
            break;
        }
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || fds[i].revents == 0) {
                continue;
            }
            char buffer[4096];
            const ssize_t n = ::read(fds[i].fd, buffer, sizeof buffer);
            if (n <= 0) {
                if (n < 0 && errno == EINTR) {
                    continue;
                }
                ::close(fds[i].fd);
                fds[i].fd = -1;
                --open;
                continue;
            }
            take(i, buffer, static_cast<size_t>(n));
        }
    }
}
