#pragma once

// What the audio tests (and the benchmark) need: the link, the hit detector
// and the recorder on the sound server's capture, put together as the
// station puts them; and to read a recording back: its samples, the tone
// that rings loudest in a stretch of it, and where it is loud at all.

#include "activity/activityrecorder.h"
#include "audio/capture.h"
#include "audio/hitrecorder.h"
#include "sim/voice.h"
#include "waituntil.h"

#include <sndfile.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <numbers>
#include <string>
#include <vector>

#include <unistd.h>

struct Listening {
    // The link polling `port`, with the hit detector on it.
    bool Listen(const std::string& port)
    {
        if (!link.OpenPortNamed(port)) {
            return false;
        }
        activity.Attach(link);
        link.StartPolling();
        return true;
    }
    // The capture of `input` with the recorder on it; true once the input
    // gives sound steadily (a null sink's monitor may take two seconds to
    // begin), waiting at most `limitMs`.
    bool Hear(const std::string& input, const RecorderSettings& settings, int limitMs = 8000)
    {
        recorder = std::make_unique<HitRecorder>(link.GetClock(), settings, nullptr);
        capture = MakeSoundServerCapture(link.GetClock(), nullptr);
        capture->AddConsumer(*recorder);
        capture->Start(input);
        activity.SetHitObserver([this](HitEdge edge, uint32_t tick, Hit& hit) { recorder->Follow(edge, tick, hit); });
        return WaitUntil([this] { return capture->SamplesCaptured() > CAPTURE_RATE / 4; }, limitMs);
    }
    // Ends everything in order and keeps what it found and said.
    void Stop()
    {
        link.StopWorker();
        activity.Detach();
        for (Hit& hit : activity.TakeEnded()) {
            hits.push_back(std::move(hit));
        }
        if (capture) {
            capture->Stop();
            for (std::string& said : capture->TakeNotices()) {
                captureSaid.push_back(std::move(said));
            }
        }
        recorder.reset();
    }
    ~Listening() { Stop(); }

    RadioLink link;
    SystemWallTime wall{link.GetClock()};
    ActivityRecorder activity{wall, HitRules{}, nullptr};
    std::unique_ptr<HitRecorder> recorder;
    std::unique_ptr<AudioCapture> capture;
    std::vector<Hit> hits;
    std::vector<std::string> captureSaid;
};

// The files' lengths may differ from a call and its pre-roll by a status
// poll at each end and the capture's latency; on a loaded machine (or under
// a sanitizer) by more.
constexpr double LENGTH_TOLERANCE_S = 0.15;

struct Decoded {
    std::vector<int16_t> samples; // the first channel
    int rate = 0;
    bool opened = false;
};

inline Decoded Decode(const std::filesystem::path& path)
{
    Decoded d;
    SF_INFO info{};
    SNDFILE* file = sf_open(path.c_str(), SFM_READ, &info);
    if (file == nullptr) {
        return d;
    }
    d.opened = true;
    d.rate = info.samplerate;
    std::vector<int16_t> frames(4096 * static_cast<size_t>(info.channels));
    for (sf_count_t n; (n = sf_readf_short(file, frames.data(), 4096)) > 0;) {
        for (sf_count_t i = 0; i < n; ++i) {
            d.samples.push_back(frames[static_cast<size_t>(i * info.channels)]);
        }
    }
    sf_close(file);
    return d;
}

inline double Seconds(const Decoded& d)
{
    return d.rate == 0 ? 0.0 : static_cast<double>(d.samples.size()) / d.rate;
}

// The strength of `hz` in [from, to) seconds (Goertzel), per sample.
inline double Strength(const Decoded& d, double from, double to, double hz)
{
    const auto first = static_cast<size_t>(std::max(0.0, from) * d.rate);
    const size_t last = std::min(d.samples.size(), static_cast<size_t>(to * d.rate));
    const double k = 2.0 * std::cos(2.0 * std::numbers::pi * hz / d.rate);
    double s1 = 0;
    double s2 = 0;
    for (size_t i = first; i < last; ++i) {
        const double s0 = d.samples[i] + k * s1 - s2;
        s2 = s1;
        s1 = s0;
    }
    const size_t n = last > first ? last - first : 1;
    return std::sqrt(std::max(0.0, s1 * s1 + s2 * s2 - k * s1 * s2)) / static_cast<double>(n);
}

// Which of radiosim's call tones rings loudest in [from, to).
inline uint32_t LoudestTone(const Decoded& d, double from, double to)
{
    uint32_t best = 0;
    double strongest = -1;
    for (uint32_t call = 0; call < 16; ++call) {
        const double s = Strength(d, from, to, sim::VoiceToneHz(call));
        if (s > strongest) {
            strongest = s;
            best = sim::VoiceToneHz(call);
        }
    }
    return best;
}

// The first and last moment (s) of a 10 ms stretch louder than a whisper;
// both -1 for a silent file.
struct Loud {
    double from = -1;
    double to = -1;
};
inline Loud LoudPart(const Decoded& d)
{
    Loud loud;
    const size_t step = static_cast<size_t>(d.rate) / 100;
    for (size_t at = 0; step > 0 && at + step <= d.samples.size(); at += step) {
        double sum = 0;
        for (size_t i = at; i < at + step; ++i) {
            sum += static_cast<double>(d.samples[i]) * d.samples[i];
        }
        if (std::sqrt(sum / static_cast<double>(step)) > 1000) {
            const double t = static_cast<double>(at) / d.rate;
            loud.from = loud.from < 0 ? t : loud.from;
            loud.to = t + 0.01;
        }
    }
    return loud;
}

class TempFolder {
public:
    TempFolder()
    {
        static std::atomic<int> counter{0};
        std::string templ =
            "/tmp/ostrelle-audio-" + std::to_string(::getpid()) + "-" + std::to_string(counter++) + "-XXXXXX";
        path = ::mkdtemp(templ.data()) != nullptr ? templ : std::string();
    }
    ~TempFolder()
    {
        std::error_code ec;
        std::filesystem::remove_all(path, ec);
    }
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;
    std::filesystem::path path;
};

// The recordings in `folder`, by name.
inline std::vector<std::string> Recordings(const std::filesystem::path& folder)
{
    std::vector<std::string> names;
    std::error_code ec;
    for (std::filesystem::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
        names.push_back(it->path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}
