#pragma once

// What is on the air around the simulated radio: transmissions that begin,
// last and end on given frequencies. Either played from a script, so that a
// test knows exactly what the radio will hear, or made up at random like
// real traffic (a few busy channels, short calls, irregular gaps), the same
// for the same seed.

#include <cstdint>
#include <deque>
#include <random>
#include <string>
#include <string_view>
#include <vector>

namespace sim {

// Random calls a minute unless told otherwise.
inline constexpr int DEFAULT_CALLS_PER_MINUTE = 6;

// Numbered as the status block counts them (also in radiomodel.h).
enum class Modulation : uint8_t { Am = 0, Fm, Nfm, Auto };

struct Transmission {
    uint32_t startMs = 0;     // since radiosim started
    uint32_t durationMs = 0;
    uint32_t frequencyHz = 0;
    Modulation modulation = Modulation::Nfm;
    uint16_t strength = 500;  // the RSSI reading while the radio hears it

    uint32_t EndMs() const { return startMs + durationMs; }
    bool operator==(const Transmission&) const = default;
};

// A script: one transmission a line, "START FREQUENCY MODULATION DURATION
// STRENGTH" (seconds since radiosim started, MHz, AM/FM/NFM/AUTO, seconds,
// the RSSI reading), separated by blanks or commas; '#' begins a comment.
// False with "line N: why" for anything else.
bool ParseActivityScript(std::string_view text, std::vector<Transmission>& script, std::string& error);

// The frequencies random traffic uses, with each one's modulation.
struct Frequency {
    uint32_t hz = 0;
    Modulation modulation = Modulation::Nfm;
};

class Traffic {
public:
    explicit Traffic(uint32_t seed) : rng(seed) {}

    // Random traffic of about `perMinute` transmissions a minute (0: none),
    // on a few busy ones of `frequencies`.
    void SetRandom(uint32_t seed, int perMinute, const std::vector<Frequency>& frequencies);
    // Exactly these transmissions, and nothing else.
    void SetScript(std::vector<Transmission> script);

    // What is on the air at `nowMs`, oldest first. Time only moves forward:
    // what has ended before `nowMs` is forgotten.
    std::vector<Transmission> OnAir(uint32_t nowMs);

private:
    void MakeUntil(uint32_t nowMs);

    std::deque<Transmission> pending; // by start
    bool random = false;
    std::mt19937 rng;
    int perMinute = 0;
    std::vector<Frequency> busy;
    std::vector<double> weights;
    uint32_t nextStartMs = 0;
};

} // namespace sim
