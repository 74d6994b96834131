#pragma once

// A thread of our own that a stop reaches at once: the PulseStream in use,
// if any, is woken from its wait, a pause between tries or passes is cut
// short, and Stop returns when the thread has ended.

#include "audio/pulsestream.h"

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>

class StreamThread {
public:
    StreamThread() = default;
    ~StreamThread() { Stop(); }
    StreamThread(const StreamThread&) = delete;
    StreamThread& operator=(const StreamThread&) = delete;

    void Start(std::function<void()> routine);
    void Stop();
    bool Running() const { return thread.joinable(); }

    // For the routine.
    bool Stopping() const;
    // Makes `stream` the one a stop wakes (null: none); false when a stop
    // has come already.
    bool Use(PulseStream* stream);
    // False when a stop ended the pause.
    bool Pause(uint32_t ms);

private:
    std::thread thread;
    mutable std::mutex lock;
    std::condition_variable wake;
    bool stopping = false;
    PulseStream* current = nullptr;
};
