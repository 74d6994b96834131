#include "station/station.h"

Station::Station(Clock& clock) : clock(clock), link(clock) {}

Station::~Station()
{
#if !defined(_WIN32)
    controlServer.Stop();
#endif
    (void)Stop();
    link.SetStoreObserver({});
    link.SetRefreshCallback({});
    link.SetWorkerEndCallback({});
}

void Station::SetEvents(StationEvents newEvents)
{
    events = std::move(newEvents);
    link.SetRefreshCallback([this] {
        if (link.State() == LinkState::PortGone) {
            const std::lock_guard<std::mutex> lock(activityLock);
            if (activity) {
                activity->Close(); // the hit in progress ended with the cable
            }
            if (events.hitsEnded) {
                events.hitsEnded();
            }
        }
        if (events.changed) {
            events.changed();
        }
    });
    link.SetWorkerEndCallback(events.transferEnded);
    FollowStores();
}

bool Station::Open(const std::string& portName)
{
    return link.OpenPortNamed(portName);
}

void Station::StartPolling()
{
    trace.Start();
    link.StartPolling();
}

TransferReport Station::Stop()
{
    TransferReport report = transfer.Stop(link);
    StopLink();
    return report;
}

void Station::StopLink()
{
    link.StopWorker();
    const std::lock_guard<std::mutex> lock(activityLock);
    if (activity) {
        activity->Close(); // the hit in progress ended with the link
    }
}

void Station::StartActivity(WallTime& wall, HitRules rules)
{
    auto made = std::make_unique<ActivityRecorder>(wall, rules, [this] {
        if (events.hitsEnded) {
            events.hitsEnded();
        }
    });
    {
        const std::lock_guard<std::mutex> lock(activityLock);
        if (activity) {
            activity->Close();
            for (Hit& hit : activity->TakeEnded()) {
                carried.push_back(std::move(hit));
            }
        }
        activity = std::move(made);
        activityOn = true;
    }
    FollowStores();
}

void Station::StopActivity()
{
    {
        const std::lock_guard<std::mutex> lock(activityLock);
        activityOn = false;
    }
    FollowStores();
    const std::lock_guard<std::mutex> lock(activityLock);
    if (activity) {
        activity->Close();
    }
}

bool Station::ActivityOn() const
{
    const std::lock_guard<std::mutex> lock(activityLock);
    return activityOn;
}

std::vector<Hit> Station::TakeHits()
{
    const std::lock_guard<std::mutex> lock(activityLock);
    std::vector<Hit> taken;
    taken.swap(carried);
    if (activity) {
        for (Hit& hit : activity->TakeEnded()) {
            taken.push_back(std::move(hit));
        }
    }
    return taken;
}

void Station::StartTrace()
{
    if (!traceOn) {
        // Lines of an earlier trace are none of this one's; times still
        // count from START, which set the origin.
        (void)trace.TakeLines(true);
        link.Port().SetTap(&trace);
        traceOn = true;
    }
}

std::string Station::StopTrace()
{
    link.Port().SetTap(nullptr);
    traceOn = false;
    return trace.TakeLines(true);
}

std::string Station::TakeTraceLines(bool everything)
{
    return trace.TakeLines(everything);
}

void Station::FollowStores()
{
    bool wanted = false;
    {
        const std::lock_guard<std::mutex> lock(activityLock);
        wanted = activityOn || events.replyStored;
    }
    if (wanted) {
        link.SetStoreObserver([this](const StoredReply& reply) { Stored(reply); });
    } else {
        link.SetStoreObserver({});
    }
}

void Station::Stored(const StoredReply& reply)
{
    {
        const std::lock_guard<std::mutex> lock(activityLock);
        if (activityOn && activity) {
            activity->Observe(reply);
        }
    }
    if (events.replyStored) {
        events.replyStored(reply);
    }
}
