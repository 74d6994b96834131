#include "sim/voice.h"

#include "audio/pulsestream.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <numbers>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace sim {

namespace {

constexpr uint32_t RATE = 16000;
// Little sound waits in the server, so that a call is heard in the sink
// within some tens of milliseconds of its start.
constexpr uint32_t BUFFER_MS = 40;
constexpr uint32_t OPEN_LIMIT_MS = 3000;
constexpr uint32_t RETRY_MS = 1000;
constexpr double AMPLITUDE = 0.5 * 32767;
constexpr uint32_t SPEAK_LIMIT_MS = 5000;
// A pause before the words are said again while the call goes on.
constexpr uint32_t SPEECH_PAUSE_MS = 400;

void Note(const std::string& text)
{
    std::fprintf(stderr, "radiosim: voice: %s\n", text.c_str());
}

// espeak-ng's WAV on its standard output: 16-bit mono at the rate its
// header says, then the samples to the end.
std::vector<int16_t> Speak(const std::string& words)
{
    int out[2] = {-1, -1};
    if (::pipe2(out, O_CLOEXEC) != 0) {
        return {};
    }
    std::string args[] = {"espeak-ng", "--stdout", "-s", "150", words};
    char* argv[] = {args[0].data(), args[1].data(), args[2].data(), args[3].data(), args[4].data(), nullptr};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    pid_t pid = -1;
    const int rc = ::posix_spawnp(&pid, "espeak-ng", &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(out[1]);
    std::string wav;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(SPEAK_LIMIT_MS);
    while (rc == 0 && std::chrono::steady_clock::now() < deadline) {
        pollfd fd{out[0], POLLIN, 0};
        if (::poll(&fd, 1, 100) <= 0) {
            continue;
        }
        char buffer[8192];
        const ssize_t n = ::read(out[0], buffer, sizeof buffer);
        if (n <= 0) {
            break;
        }
        wav.append(buffer, static_cast<size_t>(n));
    }
    ::close(out[0]);
    if (rc != 0) {
        Note(std::string("espeak-ng cannot be started: ") + std::strerror(rc));
        return {};
    }
    ::kill(pid, SIGKILL); // it has said all it will, or took too long
    ::waitpid(pid, nullptr, 0);
    const size_t data = wav.find("data");
    if (wav.size() < 44 || wav.compare(0, 4, "RIFF") != 0 || data == std::string::npos) {
        return {};
    }
    const auto byte = [&](size_t i) { return static_cast<uint32_t>(static_cast<unsigned char>(wav[i])); };
    const uint32_t rate = byte(24) | byte(25) << 8 | byte(26) << 16 | byte(27) << 24;
    std::vector<int16_t> said((wav.size() - data - 8) / 2);
    std::memcpy(said.data(), wav.data() + data + 8, said.size() * 2);
    if (rate == 0 || rate == RATE) {
        return said;
    }
    // To the output's rate, by straight lines between the samples: enough
    // for a voice that only has to be recognisable.
    std::vector<int16_t> resampled(said.size() * RATE / rate);
    for (size_t i = 0; i < resampled.size(); ++i) {
        const double at = static_cast<double>(i) * rate / RATE;
        const auto left = static_cast<size_t>(at);
        const double weight = at - static_cast<double>(left);
        const double a = said[left];
        const double b = left + 1 < said.size() ? said[left + 1] : a;
        resampled[i] = static_cast<int16_t>(std::lround(a + (b - a) * weight));
    }
    return resampled;
}

} // namespace

uint32_t VoiceToneHz(uint32_t call)
{
    return 400 + 200 * (call % 16);
}

Voice::Voice(VoiceKind kind, std::string sink) : kind(kind), sink(std::move(sink))
{
    if (kind != VoiceKind::None) {
        thread.Start([this] { Run(); });
    }
}

Voice::~Voice()
{
    thread.Stop();
}

void Voice::Hear(const std::optional<Transmission>& call, const std::string& words)
{
    const bool fresh = call && (!last || last->startMs != call->startMs || last->frequencyHz != call->frequencyHz);
    last = call;
    const std::lock_guard<std::mutex> guard(lock);
    if (fresh) {
        now.call = calls++;
        now.toneHz = VoiceToneHz(now.call);
        now.words = words;
        char head[64] = {};
        std::snprintf(head, sizeof head, "call %u on %u.%06u MHz: ", now.call + 1, call->frequencyHz / 1000000,
                      call->frequencyHz % 1000000);
        Note(head + (kind == VoiceKind::Tones ? "a " + std::to_string(now.toneHz) + " Hz tone" : "\"" + words + "\""));
    }
    now.on = call.has_value();
}

void Voice::Fill(const Now& heard, int16_t* samples, size_t count)
{
    if (!heard.on) {
        std::fill(samples, samples + count, int16_t{0});
        phase = 0;
        spoken = 0;
        return;
    }
    if (kind == VoiceKind::Tones) {
        const double step = 2.0 * std::numbers::pi * heard.toneHz / RATE;
        for (size_t i = 0; i < count; ++i, ++phase) {
            samples[i] = static_cast<int16_t>(std::lround(AMPLITUDE * std::sin(step * static_cast<double>(phase))));
        }
        return;
    }
    if (spokenCall != heard.call) {
        speech = Speak(heard.words);
        speech.resize(speech.size() + SPEECH_PAUSE_MS * RATE / 1000, 0);
        spokenCall = heard.call;
        spoken = 0;
    }
    for (size_t i = 0; i < count; ++i) {
        samples[i] = speech.empty() ? int16_t{0} : speech[spoken++ % speech.size()];
    }
}

void Voice::Run()
{
    bool saidMissing = false;
    std::vector<int16_t> samples;
    while (!thread.Stopping()) {
        PulseStream out(SystemClock());
        PulseStream::Spec spec;
        spec.direction = PulseStream::Direction::Playback;
        spec.device = sink;
        spec.followDefault = sink.empty();
        spec.rate = RATE;
        spec.bufferMs = BUFFER_MS;
        spec.name = "radiosim's loudspeaker";
        std::string lost;
        if (!thread.Use(&out)) {
            return;
        }
        if (!out.Open(spec, OPEN_LIMIT_MS)) {
            lost = "no sound server or sink (" + out.Error() + ")";
        } else {
            Note("speaking into " + (sink.empty() ? std::string("the default output") : sink));
            saidMissing = false;
            while (!thread.Stopping()) {
                Now heard;
                {
                    const std::lock_guard<std::mutex> guard(lock);
                    heard = now;
                }
                const int64_t room = out.Wait(BUFFER_MS);
                if (room >= 0) {
                    samples.resize(static_cast<size_t>(room) / sizeof(int16_t));
                    Fill(heard, samples.data(), samples.size());
                }
                if (room < 0 || (!samples.empty() && !out.Write(samples.data(), samples.size() * sizeof(int16_t)))) {
                    lost = "the sink has gone (" + out.Error() + ")";
                    break;
                }
            }
        }
        if (!thread.Use(nullptr)) {
            return;
        }
        if (!saidMissing) {
            Note(lost + "; the calls are silent until it is there");
            saidMissing = true;
        }
        thread.Pause(RETRY_MS);
    }
}

} // namespace sim
