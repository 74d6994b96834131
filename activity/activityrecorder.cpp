#include "activity/activityrecorder.h"

ActivityRecorder::ActivityRecorder(WallTime& wall, HitRules rules, std::function<void()> ended)
    : detector(wall, rules), ended(std::move(ended))
{
}

ActivityRecorder::~ActivityRecorder()
{
    Detach();
}

void ActivityRecorder::Attach(RadioLink& target)
{
    Detach();
    link = &target;
    link->SetStoreObserver([this](const StoredReply& reply) { Observe(reply); });
}

void ActivityRecorder::Detach()
{
    if (link != nullptr) {
        // Once the setter returns the observer neither runs nor is called.
        link->SetStoreObserver({});
        link = nullptr;
    }
    Close();
}

void ActivityRecorder::Close()
{
    const std::lock_guard<std::mutex> guard(lock);
    detector.Close(waiting);
}

void ActivityRecorder::SetHitObserver(HitObserver observer)
{
    const std::lock_guard<std::mutex> guard(lock);
    detector.SetObserver(std::move(observer));
}

void ActivityRecorder::Observe(const StoredReply& reply)
{
    bool any = false;
    {
        const std::lock_guard<std::mutex> guard(lock);
        const size_t before = waiting.size();
        detector.Feed(reply, waiting);
        any = waiting.size() != before;
    }
    if (any && ended) {
        ended();
    }
}

std::vector<Hit> ActivityRecorder::TakeEnded()
{
    const std::lock_guard<std::mutex> guard(lock);
    std::vector<Hit> taken;
    taken.swap(waiting);
    return taken;
}
