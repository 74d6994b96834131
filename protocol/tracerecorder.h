#pragma once

#include "serial/clock.h"
#include "serial/traffictap.h"

#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

// Turns the port's traffic into trace lines, one per frame or burst:
//     "   123456 ms  PC->RADIO  02 41 03 44"
// (milliseconds since Start, the direction, the bytes in hex) — the format
// radiosim's own trace uses, so the two can be laid side by side. A poll whose
// request and reply match the previous exchange of the same poll is counted
// instead of repeated, so an hour of mirroring stays small. A key or tune
// frame also says what it means at the end of its line ("  # key SCAN").
// Lines stand in time order: the count of a poll's repeats is written before
// any later line.
//
// OnTraffic runs on whichever thread moved the bytes and only appends under a
// short lock; the lines are taken and written by another thread, so the trace
// never blocks the worker. What is pending is bounded: past kMaxPending the
// oldest traffic is dropped and a line says how much.
class TraceRecorder final : public TrafficTap {
public:
    static constexpr size_t kMaxPending = 1 << 20;
    static constexpr uint32_t kBurstGapMs = 5;

    explicit TraceRecorder(Clock& clock = SystemClock());

    // Sets the time origin (the START of the link) and forgets the repeats.
    void Start();
    void OnTraffic(TrafficDirection direction, const uint8_t* bytes, size_t count) override;

    // Takes the finished lines, each ending in '\n'. With `everything`, also
    // closes the open burst and says how many exchanges were counted.
    std::string TakeLines(bool everything = false);

    static std::string FormatLine(uint32_t ms, TrafficDirection direction, const uint8_t* bytes, size_t count);
    // "key SCAN" or "tune 146.520000 MHz Auto" for a whole key or tune frame
    // with a sound checksum; empty for anything else.
    static std::string FrameMeaning(const uint8_t* bytes, size_t count);

private:
    struct Burst {
        TrafficDirection direction = TrafficDirection::ToRadio;
        uint32_t startMs = 0;
        uint32_t lastMs = 0;
        std::vector<uint8_t> bytes;
    };
    struct Repeats {
        std::vector<uint8_t> reply;
        uint32_t count = 0;
        uint32_t lastMs = 0;
    };

    void FinishBurst();
    void Emit(const Burst& burst);
    void EmitRepeats(const std::vector<uint8_t>& request, Repeats& repeats);
    // Every poll's pending count, oldest first: due before any newer line.
    void EmitAllRepeats();
    void Append(const std::string& line);
    static bool IsPoll(const std::vector<uint8_t>& bytes);

    Clock& clock;
    std::mutex lock;
    uint32_t origin = 0;
    bool burstOpen = false;
    Burst burst;
    bool requestHeld = false;
    Burst heldRequest;
    std::map<std::vector<uint8_t>, Repeats> repeats;
    std::string pending;
    size_t droppedBytes = 0;
};
