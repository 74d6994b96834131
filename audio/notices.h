#pragma once

// Messages for the user from a thread that must not show them itself (the
// capture's, a writer's): kept in order until the owner takes them on its
// own thread, and the owner woken to do so. The wake-up must return at once.

#include <functional>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

class Notices {
public:
    explicit Notices(std::function<void()> wake) : wake(std::move(wake)) {}

    void Say(std::string text)
    {
        {
            const std::lock_guard<std::mutex> guard(lock);
            said.push_back(std::move(text));
        }
        if (wake) {
            wake();
        }
    }

    std::vector<std::string> Take()
    {
        const std::lock_guard<std::mutex> guard(lock);
        std::vector<std::string> taken;
        taken.swap(said);
        return taken;
    }

private:
    std::function<void()> wake;
    std::mutex lock;
    std::vector<std::string> said;
};
