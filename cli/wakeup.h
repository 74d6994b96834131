#pragma once

// One thread's wait for news from others (a change on the link, a hit, a
// transfer's end, Ctrl-C): the callbacks raise it, the waiting loop wakes at
// once instead of looking again and again, and a limit bounds every wait.

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace cli {

class Wakeup {
public:
    void Raise()
    {
        {
            const std::lock_guard<std::mutex> guard(lock);
            raised = true;
        }
        wake.notify_one();
    }

    // True when raised since the last wait; false when `limit` passed first.
    bool Wait(std::chrono::milliseconds limit)
    {
        std::unique_lock<std::mutex> guard(lock);
        const bool woken = wake.wait_for(guard, limit, [this] { return raised; });
        raised = false;
        return woken;
    }

private:
    std::mutex lock;
    std::condition_variable wake;
    bool raised = false;
};

} // namespace cli
