#pragma once

// Plays a recording back through the sound server, on a thread of its own
// (the Activity window's Play control). A file that is no recording, or one
// cut short (a full disk, a copy that stopped), says so in words: what can
// be played of it is played, and nothing else is touched.

#include "audio/notices.h"
#include "audio/streamthread.h"
#include "serial/clock.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>

struct RecordingInfo {
    bool playable = false;  // there is sound in it that can be played
    uint32_t lengthMs = 0;  // of what can be played
    uint32_t rate = 0;
    int channels = 0;
    std::string problem;    // why it cannot be played, or what is wrong with it; empty when whole
};

// Decodes the whole file, so that the length is the one that plays and a
// damaged end is found before anyone listens.
RecordingInfo InspectRecording(const std::string& path);

enum class PlayerState {
    Idle,
    Opening,  // the file is read through and the server asked
    Playing,
    Finished, // played to its end (Message() says if it was cut short)
    Failed,   // Message() says why
};

class RecordingPlayer {
public:
    // `changed` is called on the player's thread whenever the state changes
    // (not for the position); it must return at once.
    RecordingPlayer(Clock& clock, std::function<void()> changed) : clock(clock), changed(std::move(changed)) {}
    ~RecordingPlayer() { Stop(); }
    RecordingPlayer(const RecordingPlayer&) = delete;
    RecordingPlayer& operator=(const RecordingPlayer&) = delete;

    // Stops what plays and plays `path` through `output` (empty: the
    // server's default).
    void Play(const std::string& path, const std::string& output = {});
    // Returns within a bounded time, whatever the server does.
    void Stop();

    PlayerState State() const { return state.Get(); }
    std::string Message() const { return state.Text(); }
    uint32_t LengthMs() const { return lengthMs.load(); }
    uint32_t PositionMs() const { return positionMs.load(); }

private:
    void Run(const std::string& path, const std::string& output);
    void Set(PlayerState next, std::string message);

    Clock& clock;
    std::function<void()> changed;
    StateAndText<PlayerState> state{PlayerState::Idle, {}};
    std::atomic<uint32_t> lengthMs{0};
    std::atomic<uint32_t> positionMs{0};
    // Last, so that it stops before anything it uses goes.
    StreamThread thread;
};
