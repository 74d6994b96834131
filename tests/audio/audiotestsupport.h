#pragma once

// What the audio tests (and the benchmark) need: the link, the hit detector
// and the recorder on the sound server's capture, put together as the
// station puts them; and to read a recording back: its samples, the tone
// that rings loudest in a stretch of it, and where it is loud at all.

#include "activity/activityrecorder.h"
#include "audio/capture.h"
#include "audio/hitrecorder.h"
#include "sim/voice.h"
#include "recordingcheck.h"
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
