#pragma once

// Reading a recording back, for the tests of whatever records: its samples,
// the tone of radiosim's calls that rings loudest in a stretch of it, where
// it is loud at all, and the recordings in a folder.

#include "sim/voice.h"

#include <sndfile.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <filesystem>
#include <numbers>
#include <string>
#include <system_error>
#include <vector>

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
