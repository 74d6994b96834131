#include "audio/pulsestream.h"

#include <pulse/context.h>
#include <pulse/error.h>
#include <pulse/mainloop.h>
#include <pulse/stream.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include <sys/eventfd.h>
#include <unistd.h>

namespace {

// One pass of the loop never sleeps longer, so that a stop is seen soon
// even should a wake-up be missed.
constexpr uint32_t LONGEST_PASS_MS = 100;

// Runs on the loop's own thread: the wake-up has done its work by ending the poll.
void TakeWake(pa_mainloop_api*, pa_io_event*, int fd, pa_io_event_flags_t, void*)
{
    uint64_t count = 0;
    while (::read(fd, &count, sizeof count) > 0) {
    }
}

} // namespace

// The wake-up lives as long as the object: Wake() comes from another thread
// at any time, so the descriptor it writes to must never change under it.
PulseStream::PulseStream(Clock& clock) : clock(clock), wakeFd(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}

PulseStream::~PulseStream()
{
    Close();
    if (wakeFd >= 0) {
        ::close(wakeFd);
    }
}

void PulseStream::Close()
{
    if (stream != nullptr) {
        pa_stream_disconnect(stream);
        pa_stream_unref(stream);
        stream = nullptr;
    }
    if (context != nullptr) {
        pa_context_disconnect(context);
        pa_context_unref(context);
        context = nullptr;
    }
    if (wakeEvent != nullptr) {
        pa_mainloop_get_api(loop)->io_free(wakeEvent);
        wakeEvent = nullptr;
    }
    if (loop != nullptr) {
        pa_mainloop_free(loop);
        loop = nullptr;
    }
}

void PulseStream::Wake()
{
    woken = true;
    if (wakeFd >= 0) {
        const uint64_t one = 1;
        // A full counter already wakes the loop.
        [[maybe_unused]] const ssize_t n = ::write(wakeFd, &one, sizeof one);
    }
}

bool PulseStream::Iterate(uint32_t limitMs)
{
    const uint32_t ms = std::min(limitMs, LONGEST_PASS_MS);
    if (pa_mainloop_prepare(loop, static_cast<int>(ms * 1000)) < 0 || pa_mainloop_poll(loop) < 0 ||
        pa_mainloop_dispatch(loop) < 0) {
        error = std::string("the sound server's loop failed: ") + std::strerror(errno);
        return false;
    }
    return true;
}

bool PulseStream::ServerError()
{
    error = pa_strerror(pa_context_errno(context));
    return false;
}

bool PulseStream::Failed()
{
    const bool failed = (context != nullptr && !PA_CONTEXT_IS_GOOD(pa_context_get_state(context))) ||
                        (stream != nullptr && !PA_STREAM_IS_GOOD(pa_stream_get_state(stream)));
    if (failed) {
        ServerError();
    }
    return failed;
}

bool PulseStream::Await(const std::function<bool()>& done, uint32_t limitMs)
{
    const uint32_t from = clock.TickCount();
    while (!done()) {
        if (Failed()) {
            return false;
        }
        if (woken.exchange(false)) {
            error = "stopped";
            return false;
        }
        const uint32_t spent = clock.TickCount() - from;
        if (spent >= limitMs) {
            error = "no answer within " + std::to_string(limitMs) + " ms";
            return false;
        }
        if (!Iterate(limitMs - spent)) {
            return false;
        }
    }
    return true;
}

bool PulseStream::Connect(uint32_t limitMs)
{
    Close();
    error.clear();
    loop = pa_mainloop_new();
    if (loop == nullptr || wakeFd < 0) {
        error = std::string("cannot set up a connection: ") + std::strerror(errno);
        return false;
    }
    pa_mainloop_api* api = pa_mainloop_get_api(loop);
    wakeEvent = api->io_new(api, wakeFd, PA_IO_EVENT_INPUT, &TakeWake, nullptr);
    context = pa_context_new(api, "Ostrelle");
    // A server started on demand would be one nobody set up: ours, and
    // gone with us.
    if (context == nullptr || pa_context_connect(context, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) {
        error = context != nullptr ? pa_strerror(pa_context_errno(context)) : "cannot make a connection";
        return false;
    }
    return Await([this] { return pa_context_get_state(context) == PA_CONTEXT_READY; }, limitMs);
}

bool PulseStream::Open(const Spec& spec, uint32_t limitMs)
{
    const uint32_t from = clock.TickCount();
    direction = spec.direction;
    if (!Connect(limitMs)) {
        return false;
    }
    const pa_sample_spec format{PA_SAMPLE_S16LE, spec.rate, spec.channels};
    stream = pa_stream_new(context, spec.name.c_str(), &format, nullptr);
    if (stream == nullptr) {
        return ServerError();
    }
    const auto bytes = static_cast<uint32_t>(pa_usec_to_bytes(pa_usec_t{spec.bufferMs} * 1000, &format));
    const pa_buffer_attr attr{.maxlength = UINT32_MAX,
                              .tlength = spec.direction == Direction::Playback ? bytes : UINT32_MAX,
                              .prebuf = UINT32_MAX,
                              .minreq = UINT32_MAX,
                              .fragsize = spec.direction == Direction::Record ? bytes : UINT32_MAX};
    // The latency the server reports while a stream settles swings by
    // hundreds of milliseconds; the capture dates what it reads by the
    // time it is read instead, and needs no timing updates.
    const auto flags =
        static_cast<pa_stream_flags_t>(PA_STREAM_ADJUST_LATENCY | (spec.followDefault ? 0 : PA_STREAM_DONT_MOVE));
    const char* device = spec.device.empty() ? nullptr : spec.device.c_str();
    const int connected = spec.direction == Direction::Record
                              ? pa_stream_connect_record(stream, device, &attr, flags)
                              : pa_stream_connect_playback(stream, device, &attr, flags, nullptr, nullptr);
    if (connected < 0) {
        return ServerError();
    }
    const uint32_t spent = clock.TickCount() - from;
    return Await([this] { return pa_stream_get_state(stream) == PA_STREAM_READY; },
                 spent < limitMs ? limitMs - spent : 0);
}

int64_t PulseStream::Wait(uint32_t limitMs)
{
    const uint32_t from = clock.TickCount();
    for (;;) {
        if (stream == nullptr || Failed()) {
            return -1;
        }
        const size_t there =
            direction == Direction::Record ? pa_stream_readable_size(stream) : pa_stream_writable_size(stream);
        if (there == static_cast<size_t>(-1)) {
            ServerError();
            return -1;
        }
        if (there > 0) {
            return static_cast<int64_t>(there);
        }
        if (woken.exchange(false)) {
            return 0;
        }
        const uint32_t spent = clock.TickCount() - from;
        if (spent >= limitMs) {
            return 0;
        }
        if (!Iterate(limitMs - spent)) {
            return -1;
        }
    }
}

bool PulseStream::Peek(const void*& data, size_t& bytes)
{
    return pa_stream_peek(stream, &data, &bytes) >= 0 || ServerError();
}

void PulseStream::Drop()
{
    pa_stream_drop(stream);
}

bool PulseStream::Write(const void* data, size_t bytes)
{
    return pa_stream_write(stream, data, bytes, nullptr, 0, PA_SEEK_RELATIVE) >= 0 || ServerError();
}

bool PulseStream::Drain(uint32_t limitMs)
{
    pa_operation* draining = pa_stream_drain(stream, nullptr, nullptr);
    if (draining == nullptr) {
        return ServerError();
    }
    const bool done =
        Await([draining] { return pa_operation_get_state(draining) != PA_OPERATION_RUNNING; }, limitMs);
    pa_operation_unref(draining);
    return done;
}
