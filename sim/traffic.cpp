#include "sim/traffic.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdlib>
#include <sstream>

namespace sim {

namespace {

// Busy channels of random traffic, and how a call is shaped: most are a few
// seconds, some much longer; the gaps between them are irregular.
constexpr size_t BUSY_CHANNELS = 8;
constexpr double MEDIAN_CALL_S = 3.0;
constexpr double CALL_SPREAD = 0.8; // of the logarithm
constexpr double SHORTEST_CALL_S = 0.4;
constexpr double LONGEST_CALL_S = 60.0;

bool Seconds(const std::string& text, uint32_t& ms)
{
    char* end = nullptr;
    const double value = std::strtod(text.c_str(), &end);
    if (end != text.c_str() + text.size() || text.empty() || !std::isfinite(value) || value < 0 || value > 4.0e6) {
        return false;
    }
    ms = static_cast<uint32_t>(std::llround(value * 1000.0));
    return true;
}

bool Megahertz(const std::string& text, uint32_t& hz)
{
    char* end = nullptr;
    const double value = std::strtod(text.c_str(), &end);
    if (end != text.c_str() + text.size() || text.empty() || !std::isfinite(value) || value <= 0 ||
        value > 4294.967295) {
        return false;
    }
    hz = static_cast<uint32_t>(std::llround(value * 1.0e6));
    return true;
}

bool ModulationOf(std::string text, Modulation& modulation)
{
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::toupper(c); });
    static constexpr const char* names[] = {"AM", "FM", "NFM", "AUTO"};
    for (int i = 0; i < 4; ++i) {
        if (text == names[i]) {
            modulation = static_cast<Modulation>(i);
            return true;
        }
    }
    return false;
}

} // namespace

bool ParseActivityScript(std::string_view text, std::vector<Transmission>& script, std::string& error)
{
    std::vector<Transmission> parsed;
    std::istringstream lines{std::string(text)};
    int number = 0;
    for (std::string line; std::getline(lines, line);) {
        ++number;
        if (const size_t comment = line.find('#'); comment != std::string::npos) {
            line.resize(comment);
        }
        std::replace(line.begin(), line.end(), ',', ' ');
        std::istringstream words(line);
        std::vector<std::string> fields;
        for (std::string word; words >> word;) {
            fields.push_back(word);
        }
        if (fields.empty()) {
            continue;
        }
        Transmission t;
        const auto fail = [&](const std::string& why) {
            error = "line " + std::to_string(number) + ": " + why;
            return false;
        };
        if (fields.size() != 5) {
            return fail("5 fields expected (start s, frequency MHz, modulation, duration s, strength), found " +
                        std::to_string(fields.size()));
        }
        if (!Seconds(fields[0], t.startMs)) {
            return fail("the start is seconds from 0, not \"" + fields[0] + "\"");
        }
        if (!Megahertz(fields[1], t.frequencyHz)) {
            return fail("the frequency is MHz above 0 up to 4294.967295, not \"" + fields[1] + "\"");
        }
        if (!ModulationOf(fields[2], t.modulation)) {
            return fail("the modulation is AM, FM, NFM or AUTO, not \"" + fields[2] + "\"");
        }
        if (!Seconds(fields[3], t.durationMs) || t.durationMs == 0) {
            return fail("the duration is seconds above 0, not \"" + fields[3] + "\"");
        }
        char* end = nullptr;
        const long strength = std::strtol(fields[4].c_str(), &end, 10);
        if (*end != '\0' || strength < 0 || strength > 65535) {
            return fail("the strength is an RSSI reading from 0 to 65535, not \"" + fields[4] + "\"");
        }
        t.strength = static_cast<uint16_t>(strength);
        parsed.push_back(t);
    }
    std::stable_sort(parsed.begin(), parsed.end(),
                     [](const Transmission& a, const Transmission& b) { return a.startMs < b.startMs; });
    script = std::move(parsed);
    return true;
}

void Traffic::SetRandom(uint32_t seed, int transmissionsPerMinute, const std::vector<Frequency>& frequencies)
{
    random = true;
    pending.clear();
    rng.seed(seed ^ 0x5EED7AFFu);
    perMinute = transmissionsPerMinute;
    busy.clear();
    weights.clear();
    if (frequencies.empty() || perMinute <= 0) {
        return;
    }
    // A few channels carry most of the calls: the first chosen twice as
    // often as the second, and so on.
    busy = frequencies;
    std::shuffle(busy.begin(), busy.end(), rng);
    busy.resize(std::min(busy.size(), BUSY_CHANNELS));
    for (size_t i = 0; i < busy.size(); ++i) {
        weights.push_back(1.0 / static_cast<double>(i + 1));
    }
    nextStartMs = 0;
    MakeUntil(0);
}

void Traffic::SetScript(std::vector<Transmission> script)
{
    random = false;
    pending.assign(script.begin(), script.end());
}

void Traffic::MakeUntil(uint32_t nowMs)
{
    if (!random || busy.empty()) {
        return;
    }
    std::exponential_distribution<double> gap(static_cast<double>(perMinute) / 60000.0);
    std::lognormal_distribution<double> call(std::log(MEDIAN_CALL_S), CALL_SPREAD);
    std::uniform_int_distribution<int> level(250, 900);
    std::discrete_distribution<size_t> which(weights.begin(), weights.end());
    while (static_cast<int32_t>(nowMs - nextStartMs) >= 0) {
        Transmission t;
        t.startMs = nextStartMs;
        const double seconds = std::clamp(call(rng), SHORTEST_CALL_S, LONGEST_CALL_S);
        t.durationMs = static_cast<uint32_t>(seconds * 1000.0);
        const Frequency& f = busy[which(rng)];
        t.frequencyHz = f.hz;
        t.modulation = f.modulation;
        t.strength = static_cast<uint16_t>(level(rng));
        pending.push_back(t);
        nextStartMs += std::max<uint32_t>(1, static_cast<uint32_t>(gap(rng)));
    }
}

std::vector<Transmission> Traffic::OnAir(uint32_t nowMs)
{
    MakeUntil(nowMs);
    std::vector<Transmission> on;
    for (auto it = pending.begin(); it != pending.end();) {
        if (static_cast<int32_t>(nowMs - it->startMs) < 0) {
            break;
        }
        if (static_cast<int32_t>(nowMs - it->EndMs()) >= 0) {
            it = pending.erase(it);
            continue;
        }
        on.push_back(*it);
        ++it;
    }
    return on;
}

} // namespace sim
