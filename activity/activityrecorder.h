#pragma once

// The hit detector on a running link. The link's store observer feeds it on
// the worker's thread; the hits that end wait here until their owner (the
// window thread, ostrellectl's loop) takes them, so that no file is written
// and nothing is printed by the thread that moves the bytes.

#include "activity/hitdetector.h"
#include "protocol/radiolink.h"
#include "activity/walltime.h"

#include <functional>
#include <mutex>
#include <vector>

class ActivityRecorder {
public:
    // `ended` is called on the worker's thread whenever hits begin to wait;
    // it must return quickly.
    ActivityRecorder(WallTime& wall, HitRules rules, std::function<void()> ended);
    ~ActivityRecorder();

    ActivityRecorder(const ActivityRecorder&) = delete;
    ActivityRecorder& operator=(const ActivityRecorder&) = delete;

    // Sees every reply `link` stores from now on.
    void Attach(RadioLink& link);
    // No more replies from the link; a hit in progress ends and waits.
    void Detach();
    // The link stopped (its worker has ended): a hit in progress ends and waits.
    void Close();

    // Follows each hit while it lasts (see HitObserver); called with the
    // recorder's lock held, so it must not call back into the recorder.
    void SetHitObserver(HitObserver observer);

    void Observe(const StoredReply& reply);
    std::vector<Hit> TakeEnded();

private:
    HitDetector detector;
    std::function<void()> ended;
    RadioLink* link = nullptr;
    std::mutex lock;
    std::vector<Hit> waiting;
};
