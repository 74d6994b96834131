#pragma once

// What the station hears: the sound input, captured at a speech rate and
// handed to whoever consumes it (the per-hit recorder, a stream). The
// capture runs on a thread of its own that never waits on a disk or a
// network: each consumer takes the samples at once and queues them for its
// own thread, within a bound, counting and saying what it had to drop.
//
// The interface is the platform's seam: the sound server's backend is the
// one there is; another would implement the same.

#include "serial/clock.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

// Mono, 16-bit; the sound server converts whatever the input gives.
inline constexpr uint32_t CAPTURE_RATE = 16000;
inline constexpr uint32_t SAMPLES_PER_MS = CAPTURE_RATE / 1000;

// An input as the settings keep it: a device's name, the server's default
// (empty), or none at all.
inline constexpr std::string_view NO_AUDIO_INPUT = "none";

class AudioConsumer {
public:
    virtual ~AudioConsumer() = default;
    // The next samples, in order, on the capture's thread; `tick` is the
    // link clock's tick at which the first of them reached the input. Must
    // return at once: no disk, no network, no lock held for long.
    virtual void Consume(uint32_t tick, const int16_t* samples, size_t count) = 0;
    // The input stopped (gone, or the server lost): what comes next does
    // not follow on from what came before.
    virtual void Interrupted() {}
};

enum class CaptureState {
    Stopped,
    Connecting,
    Running,
    Waiting, // no server, or no such input: tried again every second
};

class AudioCapture {
public:
    virtual ~AudioCapture() = default;

    // Captures from `input` (a name, or empty for the server's default)
    // until Stop, trying again while the server or the input is missing.
    virtual void Start(const std::string& input) = 0;
    // Returns within a bounded time, whatever the server does.
    virtual void Stop() = 0;

    // Once RemoveConsumer returns, the consumer is neither running nor
    // called again.
    virtual void AddConsumer(AudioConsumer& consumer) = 0;
    virtual void RemoveConsumer(AudioConsumer& consumer) = 0;

    virtual CaptureState State() const = 0;
    // The state in words, for a dialog or a status line.
    virtual std::string StateText() const = 0;
    // The peak of the latest piece captured (some 50 ms), 0 to 1; 0 when
    // nothing is captured. For a level meter; from any thread.
    virtual float Level() const = 0;
    // Samples handed on since Start.
    virtual uint64_t SamplesCaptured() const = 0;

    // Messages for the user, in order: the input lost (once for each
    // outage, however often it is tried again) and back again.
    virtual std::vector<std::string> TakeNotices() = 0;
};

// The desktop's sound server (PulseAudio, or PipeWire through the same
// protocol). `noticed` is called on the capture's thread whenever a message
// waits; it must return at once.
std::unique_ptr<AudioCapture> MakeSoundServerCapture(Clock& clock, std::function<void()> noticed);

struct AudioInput {
    std::string name;        // as the server knows it, and as the settings keep it
    std::string description; // for people
    bool monitor = false;    // what an output plays, not a microphone or a line input
};

struct AudioInputs {
    std::vector<AudioInput> inputs;
    std::string defaultName; // the server's default input
    std::string error;       // no server, or no answer: the list is empty
};

// The server's inputs, waiting at most `limitMs`.
AudioInputs ListSoundServerInputs(Clock& clock, uint32_t limitMs = 2000);
