#pragma once

// One connection to the sound server with one stream on it, driven wholly
// on the thread that uses it: the server's client library runs no thread of
// its own here and calls none of our code from elsewhere, and every wait
// has a limit, so that a server that stops answering (kill -STOP) stalls
// nothing for longer than the limit, and Wake() ends a wait at once.

#include "serial/clock.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

struct pa_context;
struct pa_io_event;
struct pa_mainloop;
struct pa_stream;

class PulseStream {
public:
    enum class Direction { Record, Playback };
    struct Spec {
        Direction direction = Direction::Record;
        std::string device;     // empty: the server's default
        bool followDefault = true; // may the server move it to another device when this one goes
        uint32_t rate = 16000;
        uint8_t channels = 1;   // 16-bit signed samples, interleaved
        uint32_t bufferMs = 50; // how much the server gathers or holds for us at a time
        std::string name;       // what the server's mixer shows
    };

    explicit PulseStream(Clock& clock);
    ~PulseStream();
    PulseStream(const PulseStream&) = delete;
    PulseStream& operator=(const PulseStream&) = delete;

    // Connects and opens the stream, waiting at most `limitMs`. False with
    // Error() in words when there is no server, no such device, or no answer.
    bool Open(const Spec& spec, uint32_t limitMs);
    // The connection alone, for questions to the server (Context()).
    bool Connect(uint32_t limitMs);
    pa_context* Context() const { return context; }
    // Runs the loop until `done` holds, at most `limitMs`; false when the
    // time ran out, Wake() was called or the connection failed.
    bool Await(const std::function<bool()>& done, uint32_t limitMs);

    // Waits at most `limitMs` for data to read or room to write: the bytes
    // there are; 0 when the time is up or Wake() was called; -1 when the
    // stream or the connection failed (Error() says why).
    int64_t Wait(uint32_t limitMs);
    // Ends the current or the next Wait at once. From any thread.
    void Wake();

    // Recording: the next piece of what was captured. `data` is null for a
    // hole the server left (as many bytes of silence). False on failure.
    bool Peek(const void*& data, size_t& bytes);
    void Drop();

    // Playback: queues `bytes` (at most what Wait said there is room for).
    bool Write(const void* data, size_t bytes);
    // Waits until what was written has been played, at most `limitMs`.
    bool Drain(uint32_t limitMs);

    const std::string& Error() const { return error; }

private:
    bool Iterate(uint32_t limitMs);
    // Takes the server's reason for what just failed into Error(); false.
    bool ServerError();
    bool Failed();
    void Close();

    Clock& clock;
    pa_mainloop* loop = nullptr;
    pa_context* context = nullptr;
    pa_stream* stream = nullptr;
    pa_io_event* wakeEvent = nullptr;
    const int wakeFd; // for the object's life: Wake() may write to it from any thread
    std::atomic<bool> woken{false};
    Direction direction = Direction::Record;
    std::string error;
};
