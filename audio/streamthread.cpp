#include "audio/streamthread.h"

#include <chrono>

void StreamThread::Start(std::function<void()> routine)
{
    Stop();
    {
        const std::lock_guard<std::mutex> guard(lock);
        stopping = false;
    }
    thread = std::thread(std::move(routine));
}

void StreamThread::Stop()
{
    if (!thread.joinable()) {
        return;
    }
    {
        const std::lock_guard<std::mutex> guard(lock);
        stopping = true;
        if (current != nullptr) {
            current->Wake();
        }
    }
    wake.notify_all();
    thread.join();
    const std::lock_guard<std::mutex> guard(lock);
    current = nullptr;
}

bool StreamThread::Stopping() const
{
    const std::lock_guard<std::mutex> guard(lock);
    return stopping;
}

bool StreamThread::Use(PulseStream* stream)
{
    const std::lock_guard<std::mutex> guard(lock);
    current = stopping ? nullptr : stream;
    return !stopping;
}

bool StreamThread::Pause(uint32_t ms)
{
    std::unique_lock<std::mutex> guard(lock);
    return !wake.wait_for(guard, std::chrono::milliseconds(ms), [this] { return stopping; });
}
