#pragma once

// Calls played by radiosim (--activity) and the hits they must give, for the
// tests that watch the real program find them: the panel's daily file and
// ostrellectl's watch --hits.
//
//   SimProcess sim({"--trace", "--activity", WriteCallScript(dir)});
//   ... let the program poll until CALLS_SETTLED_S, stop it, and read its hits ...
//   ExpectScriptedHits(hits, sim, stopMs);
//
// A hit must begin with the first status poll that radiosim answered after
// its call began (so within one poll of the call's start) and end with the
// first after the call ended (its duration within two polls); the last call
// is still on the air when the program stops, and its hit ends then.

#include "activity/hit.h"
#include "simprocess.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <thread>
#include <string>
#include <vector>

struct ScriptedCall {
    uint32_t startMs;
    uint32_t hz;
    const char* modulation;
    uint32_t durationMs;
    uint16_t strength;
    const char* channelName; // of radiosim's built-in image
};

// The first comes late enough for a program started with radiosim to be
// polling by then; each ends before the next begins.
inline const std::vector<ScriptedCall>& ScriptedCalls()
{
    static const std::vector<ScriptedCall> calls{
        {1500, 144012500, "FM", 600, 620, "CHANNEL 007"},
        {2400, 433025000, "NFM", 500, 480, "CHANNEL 014"},
        {3200, 118012500, "AM", 700, 700, "CHANNEL 006"},
        {4200, 460025000, "FM", 60000, 550, "CHANNEL 015"}, // on the air at the stop
    };
    return calls;
}

// radiosim's time (ms since its start) from which on the last call is on the
// air and every other has been decided.
inline constexpr int CALLS_SETTLED_MS = 4500;

inline std::string WriteCallScript(const std::string& directory)
{
    std::string path = directory + "/calls.txt";
    std::ofstream out(path);
    out << "# start  MHz  modulation  seconds  strength\n";
    for (const ScriptedCall& c : ScriptedCalls()) {
        char line[96] = {};
        (void)std::snprintf(line, sizeof line, "%u.%03u, %u.%06u, %s, %u.%03u, %u\n", c.startMs / 1000,
                            c.startMs % 1000, c.hz / 1000000, c.hz % 1000000, c.modulation, c.durationMs / 1000,
                            c.durationMs % 1000, c.strength);
        out << line;
    }
    return path;
}

// The wall time of radiosim's 0 s, as it says on standard error; 0 until it has.
inline int64_t SimZeroMs(const SimProcess& sim)
{
    for (int tries = 0; tries < 200; ++tries) {
        for (const std::string& line : sim.ErrorLines()) {
            const size_t said = line.find("; 0 s is ");
            const size_t at = said == std::string::npos ? said : line.find(" (", said);
            if (at != std::string::npos) {
                return std::strtoll(line.c_str() + at + 2, nullptr, 10);
            }
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return 0;
}

inline int64_t NowMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

// Waits until radiosim's clock reads `simMs`, in `pause` steps of a few ms
// (a window's test lets its events run meanwhile).
inline void WaitForSimTime(const SimProcess& sim, int simMs,
                           const std::function<void(int)>& pause = [](int ms) {
                               std::this_thread::sleep_for(std::chrono::milliseconds(ms));
                           })
{
    const int64_t zero = SimZeroMs(sim);
    ASSERT_NE(zero, 0) << "radiosim did not say when 0 s was";
    while (NowMs() - zero < simMs) {
        pause(5);
    }
}

// `hits` as the program found them, `stopMs` the wall time at which it was
// told to stop.
inline void ExpectScriptedHits(const std::vector<Hit>& hits, const SimProcess& sim, int64_t stopMs)
{
    const int64_t zero = SimZeroMs(sim);
    ASSERT_NE(zero, 0) << "radiosim did not say when 0 s was";
    // The times radiosim answered status polls, in its own ms.
    std::vector<long long> polls;
    for (const std::string& line : sim.TraceLines()) {
        if (line.find("PC->RADIO  02 41 03 44") != std::string::npos) {
            polls.push_back(std::strtoll(line.c_str(), nullptr, 10));
        }
    }
    const auto firstPollFrom = [&](long long ms) {
        for (const long long p : polls) {
            if (p >= ms) {
                return p;
            }
        }
        return static_cast<long long>(1) << 40;
    };
    // The store's tick is read once the reply is in, and the two processes'
    // clocks are read to the millisecond.
    constexpr long long SLACK_MS = 5;
    const std::vector<ScriptedCall>& calls = ScriptedCalls();
    ASSERT_EQ(hits.size(), calls.size());
    for (size_t i = 0; i < calls.size(); ++i) {
        SCOPED_TRACE("call " + std::to_string(i + 1) + " at " + std::to_string(calls[i].startMs) + " ms");
        const ScriptedCall& c = calls[i];
        const Hit& h = hits[i];
        const long long start = h.startMs - zero;
        const long long end = start + h.durationMs;
        EXPECT_GE(start, c.startMs - 2);
        EXPECT_LE(start, firstPollFrom(c.startMs) + SLACK_MS) << "not the first poll after the call began";
        if (i + 1 < calls.size()) {
            EXPECT_GE(end, c.startMs + c.durationMs - 2);
            EXPECT_LE(end, firstPollFrom(c.startMs + c.durationMs) + SLACK_MS)
                << "not the first poll after the call ended";
        } else {
            // Still on the air: the hit ends with the last reply before the
            // link stopped, which a program asked to stop does within 300 ms.
            EXPECT_LE(end, stopMs - zero + 300);
            EXPECT_GE(end, stopMs - zero - 300);
        }
        EXPECT_EQ(h.frequencyHz, c.hz);
        EXPECT_EQ(h.modulation, c.modulation);
        EXPECT_EQ(h.mode, "SCAN");
        EXPECT_NE(h.display.find(c.channelName), std::string::npos) << h.display;
        EXPECT_GE(h.rssiMax, c.strength);
        EXPECT_LE(h.rssiMax, c.strength + c.strength / 50);
        EXPECT_NEAR(h.rssiMean, c.strength, c.strength / 50.0);
    }
}
