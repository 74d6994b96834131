#pragma once

// The station's live stream to an Icecast 2 server: what the capture hears,
// encoded and sent by a thread of its own, titled at each call's start.
//
//   audio::IcecastStream stream;
//   stream.SetObserver([](const audio::StreamStatus& s) { /* post s.Text() */ });
//   std::string error = stream.Start(settings);     // empty when it runs
//   stream.Push(samples, count);                    // the capture's thread; never waits
//   stream.CallStarted({"460.0250", "NFM", "SCAN", "CH 12 FIRE"});
//   stream.CallEnded();
//   stream.Stop();
//
// Neither the capture nor the link ever waits on the network: samples go
// into a bounded queue that the worker empties, and whatever is lost on the
// way (the queue full, the server not taking the stream) is counted and
// said in the status. Between calls listeners hear silence or the input, as
// the settings say, and silence also while no samples come at all, so that
// they stay connected. A lost connection is tried again after 1 s, then
// after twice as long each time up to a minute; a wrong password is not
// tried again until the next Start.

#include "audio/icecastqueue.h"
#include "audio/icecastsettings.h"
#include "audio/streamthread.h"
#include "serial/clock.h"

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>

namespace audio {

enum class StreamState {
    Off,        // not started
    Connecting, // logging in
    Connected,  // streaming
    Retrying,   // the connection failed or was lost; reason and retryInMs say why and when
    Refused,    // the server said no; reason says why, retryInMs whether it tries again
};

struct StreamStatus {
    StreamState state = StreamState::Off;
    std::string where;          // the server and mount, without the password
    std::string reason;         // why it retries or was refused, in words
    uint32_t retryInMs = 0;     // the next try; 0 while refused: none without a new Start
    std::string title;          // the title of the call on the stream
    std::string titleError;     // why the server did not take the last title; empty when it did
    uint32_t connects = 0;      // connections made since Start
    uint64_t sentBytes = 0;     // encoded bytes handed to the connection
    uint64_t droppedSamples = 0; // lost while connected: the server did not take them
    uint64_t overrunSamples = 0; // lost before encoding: the input came faster than the stream took it

    // The state in words, with the losses, for the panel's and ostrellectl's status lines.
    std::string Text() const;
};

class IcecastStream {
public:
    explicit IcecastStream(Clock& clock = SystemClock());
    ~IcecastStream() { Stop(); }
    IcecastStream(const IcecastStream&) = delete;
    IcecastStream& operator=(const IcecastStream&) = delete;

    // Starts streaming (a running stream stops first). Returns what is wrong
    // with the settings in words, empty when the worker runs.
    std::string Start(const StreamSettings& settings);
    void Stop();
    bool Running() const { return running.load(std::memory_order_acquire); }

    // 16 kHz mono samples from the capture. Never waits; what does not fit
    // in the queue (4 s) is counted as overrun. Ignored while not running.
    void Push(const int16_t* samples, size_t count);

    // A call begins: from here (and a little before, for the syllable the
    // squelch poll came too late for) the stream carries the input and the
    // call's title in the settings' format.
    void CallStarted(const CallFields& call);
    // The call ended: from here on the settings' between-calls choice holds.
    void CallEnded();

    StreamStatus Status() const;

    // Called on the worker's thread when the state changes, and at most once
    // a second while losses grow. Set it before Start.
    using Observer = std::function<void(const StreamStatus&)>;
    void SetObserver(Observer observer);

private:
    struct Event {
        uint64_t position; // in samples taken into the queue since construction
        bool start;
        std::string title;
    };
    struct Connection;

    void Run(const StreamSettings& wanted);
    void Pass(Connection& connection, std::vector<int16_t>& buffer);
    void Emit(Connection& connection, int16_t* samples, size_t count);
    void Send(Connection& connection);
    void Apply(Connection& connection, const Event& event);
    void Connect(Connection& connection);
    void WatchConnect(Connection& connection);
    void Connected(Connection& connection);
    void Failed(Connection& connection, int code);
    void Lost(Connection& connection, const std::string& reason);
    void RetryLater(Connection& connection, StreamState state, const std::string& reason, bool again);
    void SetState(StreamState state, const std::string& reason);
    void Notify(bool changed);

    Clock& clock;
    SampleQueue queue;
    std::atomic<bool> running{false};
    std::atomic<uint64_t> queued{0}; // samples the queue has taken since construction
    std::atomic<uint64_t> overrun{0};
    std::atomic<uint64_t> dropped{0};
    std::atomic<uint64_t> sent{0};

    mutable std::mutex lock; // guards what follows
    StreamSettings settings;
    std::deque<Event> events;
    uint64_t lastEventPosition = 0;
    StreamStatus status;
    uint32_t nextAttemptTick = 0;
    Observer observer;

    // The worker's own, between passes.
    uint64_t consumed = 0;      // samples taken out of the queue since construction
    uint64_t lastQueued = 0;
    bool inCall = false;
    std::string title;
    uint32_t lastInputTick = 0;
    uint32_t silenceMarkTick = 0;
    std::string lastNotified;
    uint32_t lastNotifiedTick = 0;
    // Last, so that it stops before anything it uses goes.
    StreamThread thread;
};

// What a connection test found, for a dialog's test button.
struct ConnectionTest {
    StreamState state = StreamState::Retrying; // Connected, Refused, or Retrying: the server not reached
    std::string where;
    std::string reason; // why not, in words
    std::string Text() const;
};

// Connects once with these settings, as the stream would, and closes again.
// Waits at most limitMs, and as long again to ask a refusing or unreachable
// server why.
ConnectionTest TestIcecastConnection(const StreamSettings& settings, uint32_t limitMs = 5000,
                                     Clock& clock = SystemClock());

} // namespace audio
