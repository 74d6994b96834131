#include "station/station.h"

#if !defined(_WIN32)
#include "protocol/statustext.h"
#endif

namespace {

// What a part hands over joins what was handed before, in order.
template <typename Item> void Keep(std::vector<Item>& into, std::vector<Item> taken)
{
    into.insert(into.end(), std::make_move_iterator(taken.begin()), std::make_move_iterator(taken.end()));
}

} // namespace

Station::Station(Clock& clock) : clock(clock), link(clock) {}

Station::~Station()
{
#if !defined(_WIN32)
    controlServer.Stop();
#endif
    (void)Stop();
#if !defined(_WIN32)
    // A hit open until now has just ended and named its file: the sound
    // parts go next, before the activity recorder that follows hits for them.
    StopSound();
    {
        const std::lock_guard<std::mutex> lock(activityLock);
        if (activity) {
            activity->SetHitObserver({});
        }
    }
#endif
    link.SetStoreObserver({});
    link.SetRefreshCallback({});
    link.SetWorkerEndCallback({});
}

void Station::SetEvents(StationEvents newEvents)
{
    events = std::move(newEvents);
#if !defined(_WIN32)
    {
        const std::lock_guard<std::mutex> lock(eventLock);
        soundChanged = events.soundChanged;
    }
#endif
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
#if !defined(_WIN32)
    made->SetHitObserver([this](HitEdge edge, uint32_t tick, Hit& hit) { FollowHit(edge, tick, hit); });
#endif
    {
        const std::lock_guard<std::mutex> lock(activityLock);
        if (activity) {
            activity->Close();
            Keep(carried, activity->TakeEnded());
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
        Keep(taken, activity->TakeEnded());
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

#if !defined(_WIN32)

// The stream takes the capture's samples as they come; it never waits.
class Station::StreamFeed final : public AudioConsumer {
public:
    explicit StreamFeed(audio::IcecastStream& stream) : stream(stream) {}
    void Consume(uint32_t /*tick*/, const int16_t* samples, size_t count) override { stream.Push(samples, count); }

private:
    audio::IcecastStream& stream;
};

void Station::StartListening(const std::string& input)
{
    StopListening();
    capture = MakeSoundServerCapture(clock, [this] { SoundNoticed(); });
    if (recorder) {
        capture->AddConsumer(*recorder);
    }
    if (feed) {
        capture->AddConsumer(*feed);
    }
    capture->Start(input);
}

void Station::StopListening()
{
    if (!capture) {
        return;
    }
    capture->Stop();
    if (recorder) {
        capture->RemoveConsumer(*recorder);
    }
    if (feed) {
        capture->RemoveConsumer(*feed);
    }
    // What it said last is not lost with it.
    Keep(held, capture->TakeNotices());
    capture.reset();
}

void Station::StartRecording(const RecorderSettings& settings)
{
    StopRecording();
    auto made = std::make_unique<HitRecorder>(clock, settings, [this] { SoundNoticed(); });
    if (capture) {
        capture->AddConsumer(*made);
    }
    const std::lock_guard<std::mutex> lock(soundLock);
    recorder = std::move(made);
}

void Station::StopRecording()
{
    std::unique_ptr<HitRecorder> going;
    {
        const std::lock_guard<std::mutex> lock(soundLock);
        going.swap(recorder);
    }
    if (!going) {
        return;
    }
    if (capture) {
        capture->RemoveConsumer(*going);
    }
    Keep(held, going->TakeNotices());
    going.reset(); // a hit in progress ends whole here
}

std::string Station::RecordingFolder() const
{
    return recorder ? recorder->Folder() : std::string();
}

std::string Station::StartStreaming(const audio::StreamSettings& settings)
{
    StopStreaming();
    auto made = std::make_unique<audio::IcecastStream>(clock);
    made->SetObserver([this](const audio::StreamStatus&) { SoundNoticed(); });
    if (std::string error = made->Start(settings); !error.empty()) {
        return error;
    }
    auto madeFeed = std::make_unique<StreamFeed>(*made);
    if (capture) {
        capture->AddConsumer(*madeFeed);
    }
    const std::lock_guard<std::mutex> lock(soundLock);
    stream = std::move(made);
    feed = std::move(madeFeed);
    return {};
}

void Station::StopStreaming()
{
    std::unique_ptr<audio::IcecastStream> going;
    std::unique_ptr<StreamFeed> goingFeed;
    {
        const std::lock_guard<std::mutex> lock(soundLock);
        going.swap(stream);
        goingFeed.swap(feed);
    }
    if (capture && goingFeed) {
        capture->RemoveConsumer(*goingFeed);
    }
    if (going) {
        going->Stop();
    }
}

audio::StreamStatus Station::StreamStatus() const
{
    const std::lock_guard<std::mutex> lock(soundLock);
    return stream ? stream->Status() : audio::StreamStatus{};
}

std::vector<std::string> Station::TakeSoundNotices()
{
    std::vector<std::string> taken;
    taken.swap(held);
    if (capture) {
        Keep(taken, capture->TakeNotices());
    }
    if (recorder) {
        Keep(taken, recorder->TakeNotices());
    }
    return taken;
}

void Station::StopSound()
{
    StopStreaming();
    StopRecording();
    StopListening();
}

void Station::FollowHit(HitEdge edge, uint32_t tick, Hit& hit)
{
    const std::lock_guard<std::mutex> lock(soundLock);
    if (recorder) {
        recorder->Follow(edge, tick, hit);
    }
    if (!stream) {
        return;
    }
    // The display the squelch opened on may still show the channel before;
    // the title is set again once the hit's own is known.
    const bool retitle = edge == HitEdge::Shown && hit.display != titledDisplay;
    if (edge == HitEdge::Began || retitle) {
        stream->CallStarted({statustext::FrequencyText(hit.frequencyHz), hit.modulation, hit.mode, hit.display});
        titledDisplay = hit.display;
    } else if (edge == HitEdge::Ended) {
        stream->CallEnded();
    }
}

void Station::SoundNoticed()
{
    // Called with the lock held, so that once SetEvents has replaced it the
    // owner's callback (and whatever it wakes) is never reached again.
    const std::lock_guard<std::mutex> lock(eventLock);
    if (soundChanged) {
        soundChanged();
    }
}

#endif
