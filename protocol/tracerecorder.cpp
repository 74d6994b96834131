#include "protocol/tracerecorder.h"

#include "protocol/frames.h"

#include <algorithm>
#include <cstdio>
#include <utility>

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

std::string TraceRecorder::FrameMeaning(const uint8_t* bytes, size_t count)
{
    if (count < 4 || bytes[0] != STX || bytes[count - 2] != ETX || Checksum(bytes, count) != bytes[count - 1]) {
        return {};
    }
    if (bytes[1] == CMD_KEY && count == KEY_FRAME_LENGTH) {
        const auto key = KeyByCode(bytes[2]);
        return key ? "key " + std::string(key->caption) : "key code " + std::to_string(bytes[2]);
    }
    if (bytes[1] == CMD_TUNE && count == TUNE_FRAME_LENGTH) {
        const uint32_t hz = static_cast<uint32_t>(bytes[2]) | (static_cast<uint32_t>(bytes[3]) << 8) |
                            (static_cast<uint32_t>(bytes[4]) << 16) | (static_cast<uint32_t>(bytes[5]) << 24);
        const uint8_t modulation = bytes[6];
        char text[64];
        (void)std::snprintf(text, sizeof text, "tune %u.%06u MHz ", hz / 1000000u, hz % 1000000u);
        return text + (modulation < tuneModulationNames.size() ? std::string(tuneModulationNames[modulation])
                                                                : "modulation " + std::to_string(modulation));
    }
    return {};
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
            if ((seen.count > 0 || !seen.reply.empty()) && seen.reply == burst.bytes) {
                ++seen.count;
                seen.lastMs = burst.startMs;
                return;
            }
            seen.reply = burst.bytes;
            Emit(heldRequest);
            Emit(burst);
            return;
        }
        // A poll that got no reply: shown as it is, and the next exchange of
        // that poll is shown again in full.
        EmitAllRepeats();
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
    EmitAllRepeats();
    std::string line = FormatLine(b.startMs, b.direction, b.bytes.data(), b.bytes.size());
    if (b.direction == TrafficDirection::ToRadio) {
        const std::string meaning = FrameMeaning(b.bytes.data(), b.bytes.size());
        if (!meaning.empty()) {
            line.pop_back();
            line += "  # " + meaning + "\n";
        }
    }
    Append(line);
}

void TraceRecorder::EmitAllRepeats()
{
    std::vector<std::pair<const std::vector<uint8_t>*, Repeats*>> due;
    for (auto& [request, seen] : repeats) {
        if (seen.count > 0) {
            due.emplace_back(&request, &seen);
        }
    }
    std::sort(due.begin(), due.end(), [](const auto& a, const auto& b) { return a.second->lastMs < b.second->lastMs; });
    for (const auto& [request, seen] : due) {
        EmitRepeats(*request, *seen);
    }
}

void TraceRecorder::EmitRepeats(const std::vector<uint8_t>& request, Repeats& seen)
{
    if (seen.count == 0) {
        return;
    }
    std::string line = FormatLine(seen.lastMs, TrafficDirection::ToRadio, request.data(), request.size());
    line.pop_back();
    line += seen.count == 1 ? std::string("  (once more, the same reply)\n")
                            : "  (" + std::to_string(seen.count) + " more times, the same reply each time)\n";
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
        EmitAllRepeats();
    }
    std::string out;
    out.swap(pending);
    if (droppedBytes != 0) {
        out += "(trace fell behind: " + std::to_string(droppedBytes) + " bytes of lines dropped)\n";
        droppedBytes = 0;
    }
    return out;
}
