#pragma once

// One file per hit: what the input heard from a little before the squelch
// was seen open (the pre-roll) to the hit's end as the hit detector defines
// it. A squelch that opens again within the merge gap goes on in the same
// file, the gap with it; nothing between hits is kept. A hit longer than
// the longest recording goes on in a next part, and so does one whose
// input was lost and came back.
//
//   HitRecorder recorder(clock, settings, wake);  // recording from now on
//   capture.AddConsumer(recorder);
//   activity.SetHitObserver([&](HitEdge e, uint32_t t, Hit& h) { recorder.Follow(e, t, h); });
//   ... on the owner's thread, when woken: recorder.TakeNotices()
//   ... at the end: the observer cleared, capture.RemoveConsumer(recorder), then the recorder goes
//
// The capture's thread only copies into a ring of some seconds; the files
// are written on the recorder's own thread. A full disk or a folder that
// cannot be written stops recording with one message, and the file in
// progress is ended whole.

#include "activity/hitdetector.h"
#include "audio/capture.h"
#include "audio/notices.h"
#include "audio/recordingfiles.h"
#include "audio/samplering.h"
#include "serial/clock.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

inline constexpr uint32_t LONGEST_PRE_ROLL_MS = 1000;
inline constexpr uint32_t SHORTEST_SPLIT_MS = 1000;

struct RecorderSettings {
    std::string folder; // empty: DefaultRecordingFolder()
    RecordingFormat format = DEFAULT_RECORDING_FORMAT;
    uint32_t preRollMs = 500;            // at most LONGEST_PRE_ROLL_MS
    uint32_t longestMs = 10 * 60 * 1000; // a stuck squelch is split here, at least SHORTEST_SPLIT_MS
    uint32_t keepDays = 30;              // 0: no limit
    uint64_t keepBytes = uint64_t{2} << 30; // 0: no limit
};

struct RecorderStats {
    uint32_t files = 0;       // made since the start, parts counted
    uint64_t samples = 0;     // written into them
    uint64_t lost = 0;        // samples the writer could not take in time
    uint32_t removed = 0;     // old recordings removed to keep the limits
};

class HitRecorder final : public AudioConsumer {
public:
    // Starts the writer thread, which makes the folder and keeps the limits.
    // `noticed` is called on any of the recorder's threads whenever a
    // message waits; it must return at once.
    HitRecorder(Clock& clock, RecorderSettings settings, std::function<void()> noticed);
    // A hit in progress is ended where the input has got to, whole.
    ~HitRecorder() override;
    HitRecorder(const HitRecorder&) = delete;
    HitRecorder& operator=(const HitRecorder&) = delete;

    // The hit detector's observer. At a hit's end it names the hit's first
    // file in `hit.recording`, once that file was made.
    void Follow(HitEdge edge, uint32_t tick, Hit& hit);

    void Consume(uint32_t tick, const int16_t* samples, size_t count) override { ring.Push(tick, samples, count); }
    void Interrupted() override;

    // False once a disk fault stopped recording.
    bool Recording() const { return on.load(); }
    const std::string& Folder() const { return settings.folder; }
    RecorderStats Stats() const;
    std::vector<std::string> TakeNotices() { return notices.Take(); }

private:
    struct Event {
        HitEdge edge;
        uint32_t tick;
        Hit hit; // at Began
    };
    enum class Phase { Idle, Open, Held, Ending };

    void Run();
    void Take(const Event& event);
    void Drain();
    bool Limit(uint64_t& limit) const;
    void WriteUntil(uint64_t until);
    void Write(const int16_t* samples, size_t count);
    void EndFile();
    void EndHit();
    // Keeps the folder within the limits.
    void Prune();
    // Stops recording with one message; `kept` names the file that holds
    // what was heard until then.
    void Fault(const std::string& error, const std::string& kept);

    Clock& clock;
    RecorderSettings settings;
    Notices notices;
    SampleRing ring;
    std::atomic<bool> on{true};

    // Between Follow (the link's thread) and the writer.
    mutable std::mutex lock;
    std::condition_variable wake;
    std::deque<Event> events;
    bool stopping = false;
    uint64_t began = 0;         // hits begun
    uint64_t namedHit = 0;      // the hit whose first file is `firstName`
    std::string firstName;
    RecorderStats stats;

    // The writer's own.
    Phase phase = Phase::Idle;
    Hit hit;
    uint64_t hitNumber = 0;
    uint32_t startTick = 0;
    uint32_t holdTick = 0;
    uint32_t endTick = 0;
    uint32_t endSeenAt = 0;
    bool placed = false;        // writePos is set
    uint64_t writePos = 0;
    uint64_t run = 0;           // where the input's run being written began
    int part = 0;
    std::string firstStem;
    bool saidLost = false;
    RecordingFile file;
    std::vector<int16_t> chunk;

    std::thread writer;
};
