// Capture from the sound server on a thread of our own, through PulseStream.

#include "audio/capture.h"
#include "audio/notices.h"
#include "audio/pulsestream.h"
#include "audio/streamthread.h"

#include <pulse/context.h>
#include <pulse/introspect.h>

#include <algorithm>
#include <cstdlib>
#include <atomic>
#include <mutex>

namespace {

// The server gathers this much before handing it over: few wake-ups, and
// still a level meter that moves with the voice.
constexpr uint32_t PIECE_MS = 50;
constexpr uint32_t OPEN_LIMIT_MS = 3000;
constexpr uint32_t RETRY_MS = 1000;
// An input that sends nothing for this long has stopped (a server stopped
// with kill -STOP, a device that hangs): it is let go and looked for again.
constexpr uint32_t SILENT_LIMIT_MS = 3000;

// "The default sound input", "the sound input "radio.monitor"".
std::string InputText(const std::string& input, const char* the = "The")
{
    return the + (input.empty() ? " default sound input" : " sound input \"" + input + "\"");
}

class SoundServerCapture final : public AudioCapture {
public:
    SoundServerCapture(Clock& clock, std::function<void()> noticed) : clock(clock), notices(std::move(noticed)) {}
    ~SoundServerCapture() override { Stop(); }

    void Start(const std::string& input) override
    {
        Stop();
        device = input;
        captured = 0;
        state.Set(CaptureState::Connecting, "Connecting to the sound server");
        thread.Start([this] { Run(); });
    }

    void Stop() override
    {
        if (thread.Running()) {
            thread.Stop();
            state.Set(CaptureState::Stopped, "Not capturing");
        }
    }

    void AddConsumer(AudioConsumer& consumer) override
    {
        const std::lock_guard<std::mutex> guard(consumersLock);
        consumers.push_back(&consumer);
    }

    void RemoveConsumer(AudioConsumer& consumer) override
    {
        const std::lock_guard<std::mutex> guard(consumersLock);
        consumers.erase(std::remove(consumers.begin(), consumers.end(), &consumer), consumers.end());
    }

    CaptureState State() const override { return state.Get(); }
    std::string StateText() const override { return state.Text(); }

    float Level() const override
    {
        return State() == CaptureState::Running ? static_cast<float>(peak.load()) / 32768.0f : 0.0f;
    }

    uint64_t SamplesCaptured() const override { return captured.load(); }
    std::vector<std::string> TakeNotices() override { return notices.Take(); }

private:
    // Under the lock that RemoveConsumer takes, so that a consumer removed
    // is called no more.
    template <typename Call> void Tell(const Call& call)
    {
        const std::lock_guard<std::mutex> guard(consumersLock);
        for (AudioConsumer* consumer : consumers) {
            call(*consumer);
        }
    }

    // Hands on the `waiting` bytes there are; false when the stream failed.
    bool Drain(PulseStream& pulse, size_t waiting)
    {
        // The newest sample has just come: those waiting before it reached
        // the input as long before as they take to play.
        const uint32_t first =
            clock.TickCount() - static_cast<uint32_t>(waiting / sizeof(int16_t) / SAMPLES_PER_MS);
        size_t offset = 0;
        int peakNow = 0;
        for (;;) {
            const void* data = nullptr;
            size_t bytes = 0;
            if (!pulse.Peek(data, bytes)) {
                return false;
            }
            if (bytes == 0) {
                break;
            }
            const size_t count = bytes / sizeof(int16_t);
            if (data == nullptr) {
                // A hole the server left in the input: silence, so that the
                // time of what follows stays right.
                silence.assign(count, 0);
                data = silence.data();
            }
            const auto* samples = static_cast<const int16_t*>(data);
            for (size_t i = 0; i < count; ++i) {
                peakNow = std::max(peakNow, std::abs(static_cast<int>(samples[i])));
            }
            const uint32_t tick = first + static_cast<uint32_t>(offset / SAMPLES_PER_MS);
            Tell([&](AudioConsumer& consumer) { consumer.Consume(tick, samples, count); });
            captured += count;
            offset += count;
            pulse.Drop();
        }
        peak = peakNow;
        return true;
    }

    void Run()
    {
        bool saidLost = false;
        while (!thread.Stopping()) {
            PulseStream pulse(clock);
            if (!thread.Use(&pulse)) {
                break;
            }
            // A chosen input that goes is gone; the default follows the server.
            const PulseStream::Spec spec{.device = device, .followDefault = device.empty(), .bufferMs = PIECE_MS,
                                         .name = "Ostrelle: what the radio hears"};
            std::string lost;
            if (!pulse.Open(spec, OPEN_LIMIT_MS)) {
                lost = pulse.Context() != nullptr &&
                               pa_context_get_state(pulse.Context()) == PA_CONTEXT_READY
                           ? InputText(device) + " cannot be opened: " + pulse.Error()
                           : "No sound server: " + pulse.Error();
            } else {
                state.Set(CaptureState::Running, "Capturing from " + InputText(device, "the"));
                if (saidLost) {
                    notices.Say("Capturing from " + InputText(device, "the") + " again.");
                    saidLost = false;
                }
                bool delivered = false;
                uint32_t heardAt = clock.TickCount();
                while (!thread.Stopping()) {
                    const int64_t there = pulse.Wait(PIECE_MS * 4);
                    if (there < 0 || (there > 0 && !Drain(pulse, static_cast<size_t>(there)))) {
                        lost = InputText(device) + " has gone: " + pulse.Error();
                        break;
                    }
                    if (there > 0) {
                        delivered = true;
                        heardAt = clock.TickCount();
                        // The server hands over whatever its input gives at a
                        // time, as little as 5 ms; a piece at a time is woken
                        // for instead, and what came meanwhile waits in the
                        // connection.
                        thread.Pause(PIECE_MS);
                    } else if (clock.TickCount() - heardAt >= SILENT_LIMIT_MS) {
                        lost = InputText(device) + " has sent nothing for " +
                               std::to_string(SILENT_LIMIT_MS / 1000) + " s";
                        break;
                    }
                }
                peak = 0;
                if (delivered) {
                    Tell([](AudioConsumer& consumer) { consumer.Interrupted(); });
                }
            }
            if (!thread.Use(nullptr)) {
                break;
            }
            state.Set(CaptureState::Waiting, lost);
            if (!saidLost) {
                notices.Say(lost + ". Recording waits for it and goes on when it is back.");
                saidLost = true;
            }
            thread.Pause(RETRY_MS);
        }
    }

    Clock& clock;
    Notices notices;
    std::string device;

    StateAndText<CaptureState> state{CaptureState::Stopped, "Not capturing"};

    std::mutex consumersLock;
    std::vector<AudioConsumer*> consumers;

    std::vector<int16_t> silence;
    std::atomic<int> peak{0};
    std::atomic<uint64_t> captured{0};
    // Last, so that it stops before anything it uses goes.
    StreamThread thread;
};

} // namespace

std::unique_ptr<AudioCapture> MakeSoundServerCapture(Clock& clock, std::function<void()> noticed)
{
    return std::make_unique<SoundServerCapture>(clock, std::move(noticed));
}

AudioInputs ListSoundServerInputs(Clock& clock, uint32_t limitMs)
{
    AudioInputs found;
    PulseStream server(clock);
    if (!server.Connect(limitMs)) {
        found.error = "No sound server: " + server.Error();
        return found;
    }
    struct Asking {
        AudioInputs* found;
        bool inputsDone = false;
        bool serverDone = false;
    } asking{&found};
    pa_operation* inputs = pa_context_get_source_info_list(
        server.Context(),
        [](pa_context*, const pa_source_info* info, int last, void* user) {
            auto* a = static_cast<Asking*>(user);
            if (last != 0 || info == nullptr) {
                a->inputsDone = true;
                return;
            }
            a->found->inputs.push_back({info->name != nullptr ? info->name : "",
                                        info->description != nullptr ? info->description : "",
                                        info->monitor_of_sink != PA_INVALID_INDEX});
        },
        &asking);
    pa_operation* about = pa_context_get_server_info(
        server.Context(),
        [](pa_context*, const pa_server_info* info, void* user) {
            auto* a = static_cast<Asking*>(user);
            if (info != nullptr && info->default_source_name != nullptr) {
                a->found->defaultName = info->default_source_name;
            }
            a->serverDone = true;
        },
        &asking);
    if (inputs == nullptr || about == nullptr ||
        !server.Await([&] { return asking.inputsDone && asking.serverDone; }, limitMs)) {
        found.inputs.clear();
        found.error = "The sound server did not list its inputs: " + server.Error();
    }
    for (pa_operation* op : {inputs, about}) {
        if (op != nullptr) {
            if (pa_operation_get_state(op) == PA_OPERATION_RUNNING) {
                pa_operation_cancel(op);
            }
            pa_operation_unref(op);
        }
    }
    return found;
}
