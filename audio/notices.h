#pragma once

// Messages for the user from a thread that must not show them itself (the
// capture's, a writer's): kept in order until the owner takes them on its
// own thread, and the owner woken to do so. The wake-up must return at once.
// Beside them, the state such a thread is in, in words.

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
        return std::exchange(said, {});
    }

private:
    std::function<void()> wake;
    std::mutex lock;
    std::vector<std::string> said;
};

// A worker's state and the words for it, kept together under a lock: set
// by the worker or its owner, read from any thread.
template <typename Value> class StateAndText {
public:
    StateAndText(Value value, std::string text) : value(value), text(std::move(text)) {}

    void Set(Value next, std::string words)
    {
        const std::lock_guard<std::mutex> guard(lock);
        value = next;
        text = std::move(words);
    }
    Value Get() const
    {
        const std::lock_guard<std::mutex> guard(lock);
        return value;
    }
    std::string Text() const
    {
        const std::lock_guard<std::mutex> guard(lock);
        return text;
    }

private:
    mutable std::mutex lock;
    Value value;
    std::string text;
};
