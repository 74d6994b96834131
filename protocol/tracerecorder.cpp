#include "tracerecorder.h"

#include "frames.h"

#include <algorithm>
#include <cstdio>

TraceRecorder::TraceRecorder(Clock& clock) : clock(clock), origin(clock.TickCount()) {}

void TraceRecorder::Start()
{
    const std::lock_guard<std::mutex> guard(lock);
    origin = clock.TickCount();
    burstOpen = false;
    requestHeld = false;
    repeats.clear();
}

std::string TraceRecorder::FormatLine(uint32_t ms, TrafficDirection direction, const uint8_t* bytes, size_t count)
{
    static constexpr char hex[] = "0123456789ABCDEF";
    char head[48];
    (void)std::snprintf(head, sizeof head, "%9u ms  %s ", ms,
                  direction == TrafficDirection::ToRadio ? "PC->RADIO" : "RADIO->PC");
    std::string line(head);
    line.reserve(line.size() + count * 3 + 1);
    for (size_t i = 0; i < count; ++i) {
        line += ' ';
        line += hex[bytes[i] >> 4];
        line += hex[bytes[i] & 0x0F];
    }
    line += '\n';
    return line;
}

void TraceRecorder::OnTraffic(TrafficDirection direction, const uint8_t* bytes, size_t count)
{
    if (count == 0) {
        return;
    }
    const std::lock_guard<std::mutex> guard(lock);
    const uint32_t now = clock.TickCount() - origin;
    // Writes are whole frames, each a line of its own; what comes back is
    // read in pieces and joined while the pieces follow each other closely.
    const bool joins = burstOpen && direction == TrafficDirection::FromRadio &&
                       burst.direction == direction && now - burst.lastMs <= kBurstGapMs && burst.bytes.size() < 512;
    if (!joins) {
        FinishBurst();
        burst.direction = direction;
        burst.startMs = now;
        burst.bytes.clear();
        burstOpen = true;
    }
    burst.lastMs = now;
    burst.bytes.insert(burst.bytes.end(), bytes, bytes + count);
}

bool TraceRecorder::IsPoll(const std::vector<uint8_t>& bytes)
{
    return std::equal(bytes.begin(), bytes.end(), lcdPollFrame.begin(), lcdPollFrame.end()) ||
           std::equal(bytes.begin(), bytes.end(), statusPollFrame.begin(), statusPollFrame.end());
}

void TraceRecorder::FinishBurst()
{
    if (!burstOpen) {
        return;
    }
    burstOpen = false;
    if (requestHeld) {
        requestHeld = false;
        if (burst.direction == TrafficDirection::FromRadio) {
            Repeats& seen = repeats[heldRequest.bytes];
            if (seen.count > 0 || !seen.reply.empty()) {
                if (seen.reply == burst.bytes) {
                    ++seen.count;
                    seen.lastMs = burst.startMs;
                    return;
                }
                EmitRepeats(heldRequest.bytes, seen);
            }
            seen.reply = burst.bytes;
            Emit(heldRequest);
            Emit(burst);
            return;
        }
        // A poll that got no reply: shown as it is, and the next exchange of
        // that poll is shown again in full.
        EmitRepeats(heldRequest.bytes, repeats[heldRequest.bytes]);
        repeats.erase(heldRequest.bytes);
        Emit(heldRequest);
    }
    if (burst.direction == TrafficDirection::ToRadio && IsPoll(burst.bytes)) {
        heldRequest = burst;
        requestHeld = true;
        return;
    }
    Emit(burst);
}

void TraceRecorder::Emit(const Burst& b)
{
    Append(FormatLine(b.startMs, b.direction, b.bytes.data(), b.bytes.size()));
}

void TraceRecorder::EmitRepeats(const std::vector<uint8_t>& request, Repeats& seen)
{
    if (seen.count == 0) {
        return;
    }
    std::string line = FormatLine(seen.lastMs, TrafficDirection::ToRadio, request.data(), request.size());
    line.pop_back();
    line += "  (" + std::to_string(seen.count) + " more times, the same reply each time)\n";
    Append(line);
    seen.count = 0;
}

void TraceRecorder::Append(const std::string& line)
{
    if (pending.size() + line.size() > kMaxPending) {
        droppedBytes += line.size();
        return;
    }
    pending += line;
}

std::string TraceRecorder::TakeLines(bool everything)
{
    const std::lock_guard<std::mutex> guard(lock);
    if (burstOpen && clock.TickCount() - origin - burst.lastMs > kBurstGapMs) {
        FinishBurst();
    }
    if (everything) {
        FinishBurst();
        if (requestHeld) {
            requestHeld = false;
            Emit(heldRequest);
        }
        for (auto& [request, seen] : repeats) {
            EmitRepeats(request, seen);
        }
    }
    std::string out;
    out.swap(pending);
    if (droppedBytes != 0) {
        out += "(trace fell behind: " + std::to_string(droppedBytes) + " bytes of lines dropped)\n";
        droppedBytes = 0;
    }
    return out;
}
