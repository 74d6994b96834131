#pragma once

#include <chrono>
#include <functional>
#include <thread>

// Waits in short sleeps until `done` holds; false once timeoutMs has passed.
// Tests watch other threads and processes this way, always with a limit.
inline bool WaitUntil(const std::function<bool()>& done, int timeoutMs)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!done()) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}
