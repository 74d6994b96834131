#pragma once

// The radio's parts under one owner: the link, the one image transfer, the
// network control server, the hit recorder and the traffic trace. Both faces
// hold one (the window, ostrellectl), so the START and STOP sequences, the
// order in which the parts are made and taken down, and who hears of what
// are written once, here. No widget is known below this line: the parts tell
// their owner through the callbacks of StationEvents, on whichever thread
// they run, and the owner decides how to act on them.

#include "activity/activityrecorder.h"
#include "protocol/radiolink.h"
#include "protocol/tracerecorder.h"
#include "transfer/imagetransfer.h"

#if !defined(_WIN32)
#include "audio/capture.h"
#include "audio/hitrecorder.h"
#include "audio/icecaststream.h"
#include "control/linkaccess.h"
#include "control/rigctlserver.h"
#endif

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

// What the station tells its owner. Each is called on the thread that found
// it out (a worker's, mostly), must return quickly and must not call back
// into the station; empty ones are skipped. Set them before START.
struct StationEvents {
    // What is shown must change: a record that differs, or the link's state.
    std::function<void()> changed;
    // Every stored poll reply, changed or not.
    std::function<void(const StoredReply&)> replyStored;
    // The transfer's worker has returned: SuperviseTransfer now reports its end.
    std::function<void()> transferEnded;
    // Hits have ended and wait in TakeHits.
    std::function<void()> hitsEnded;
    // The sound parts have something to say: messages wait in
    // TakeSoundNotices, or the stream's state (StreamStatus) changed.
    std::function<void()> soundChanged;
};

class Station {
public:
    explicit Station(Clock& clock = SystemClock());
    // Serving stops first, then the transfer and the link: nothing that
    // reaches the radio outlives the link it goes through.
    ~Station();

    Station(const Station&) = delete;
    Station& operator=(const Station&) = delete;

    void SetEvents(StationEvents events);

    RadioLink& Link() { return link; }
    const RadioLink& Link() const { return link; }
    ImageTransfer& Transfer() { return transfer; }
    const ImageTransfer& Transfer() const { return transfer; }
    Clock& GetClock() { return clock; }

    // START, first half: the port is opened and the link is Open, not yet
    // polling. False with the link's OpenError() when the port would not open.
    bool Open(const std::string& portName);
    // START, second half: the trace's time origin, then the poll worker.
    void StartPolling();
    // STOP: a transfer still running is ended (its report returned), the
    // worker stopped and the port closed; a hit in progress ends and waits.
    TransferReport Stop();
    // The same, but a transfer still running is left to its owner: its
    // worker ends with the link, and SuperviseTransfer reports how.
    void StopLink();

    // The one transfer, opened through Transfer() beforehand.
    bool StartTransfer() { return transfer.Start(link); }
    TransferReport SuperviseTransfer() { return transfer.Supervise(link); }
    bool TransferFinished() const { return transfer.WorkerFinished(link); }
    TransferReport CancelTransfer(bool resumePolling = true) { return transfer.Cancel(link, resumePolling); }
    TransferReport StopTransfer() { return transfer.Stop(link); }

    // Hit recording: on, every stored reply goes to the detector from now on;
    // off, a hit in progress ends and waits.
    void StartActivity(WallTime& wall, HitRules rules);
    void StopActivity();
    bool ActivityOn() const;
    std::vector<Hit> TakeHits();

    // The traffic trace: on, the port's traffic is turned into lines, taken
    // by whoever writes them (never the thread that moved the bytes).
    void StartTrace();
    // Off: the lines still held back (an open burst, counted repeats).
    std::string StopTrace();
    std::string TakeTraceLines(bool everything = false);

#if !defined(_WIN32)
    // The network control server over the link; false with a sentence for
    // the user when it cannot listen.
    bool StartControl(const control::ServerSettings& settings, std::string& error)
    {
        return controlServer.Start(settings, error);
    }
    void StopControl() { controlServer.Stop(); }
    control::RigctlServer& ControlServer() { return controlServer; }
    const control::RigctlServer& ControlServer() const { return controlServer; }

    // The sound parts (capture, the per-hit recorder, the Icecast stream)
    // join here: made after the activity recorder that starts and ends
    // their hits, taken down before it.
    // Listening: the capture of `input` (a name; empty for the sound
    // server's default), made now and kept trying while the input is not
    // there. A recorder or stream already on goes on with the new input.
    void StartListening(const std::string& input);
    void StopListening();
    bool Listening() const { return capture != nullptr; }
    // For a level meter and a status line; null while not listening.
    const AudioCapture* Capture() const { return capture.get(); }

    // Recording: one file per hit of StartActivity's detector, from what is
    // heard while listening; each ended hit names its first file.
    void StartRecording(const RecorderSettings& settings);
    void StopRecording();
    bool RecordingOn() const { return recorder != nullptr; }
    // On, but stopped by a disk fault (said in its notice) until started anew.
    bool RecordingHalted() const { return recorder != nullptr && !recorder->Recording(); }
    // The folder the files go to, once recording.
    std::string RecordingFolder() const;

    // Streaming what is heard, titled at each hit's start. Returns what is
    // wrong with the settings in words, empty when it runs.
    std::string StartStreaming(const audio::StreamSettings& settings);
    void StopStreaming();
    bool StreamingOn() const { return stream != nullptr; }
    audio::StreamStatus StreamStatus() const;

    // The capture's and the recorder's messages, in order, for the owner's thread.
    std::vector<std::string> TakeSoundNotices();
#endif

private:
    void Stored(const StoredReply& reply);
    // The link copies every reply out only while someone wants them.
    void FollowStores();

    Clock& clock;
    StationEvents events;
    // The order below is the order of making; members go in reverse, so
    // every part that reaches the link goes before it. The trace outlives
    // the port that taps it: a thread that moves bytes may still be inside
    // it just after the port lets it go.
    TraceRecorder trace{clock};
    bool traceOn = false;
    RadioLink link;
    ImageTransfer transfer;
    // Taken by the worker's store and by the owner's on and off, never
    // while the link's observer is being set.
    mutable std::mutex activityLock;
    std::unique_ptr<ActivityRecorder> activity;
    bool activityOn = false;
    std::vector<Hit> carried; // ended under a recorder since replaced, not yet taken

#if !defined(_WIN32)
    control::LinkAccess controlAccess{link};
    control::RigctlServer controlServer{controlAccess, clock};

    class StreamFeed;
    // Follows each hit for the recorder and the stream; the activity
    // recorder's lock is held, then soundLock: never the other way round.
    void FollowHit(HitEdge edge, uint32_t tick, Hit& hit);
    void SoundNoticed();
    void StopSound();

    // The parts the hit observer reaches; the owner's thread changes them.
    mutable std::mutex soundLock;
    std::unique_ptr<AudioCapture> capture;
    std::unique_ptr<HitRecorder> recorder;
    std::unique_ptr<audio::IcecastStream> stream;
    std::unique_ptr<StreamFeed> feed;
    std::string titledDisplay; // the display in the title of the call on the stream
    std::vector<std::string> held; // said by parts since taken down, not yet taken
    // The owner's callback, called by the sound parts' threads.
    std::mutex eventLock;
    std::function<void()> soundChanged;
#endif

};
