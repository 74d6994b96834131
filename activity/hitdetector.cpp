#include "activity/hitdetector.h"

#include "protocol/lcdtext.h"
#include "protocol/statustext.h"

#include <algorithm>

HitDetector::HitDetector(WallTime& wall, HitRules rules) : wall(wall), rules(rules) {}

void HitDetector::Feed(const StoredReply& reply, std::vector<Hit>& ended)
{
    if (reply.kind == RecordKind::Lcd) {
        // The display is polled at most every 100 ms, so the record held when
        // the squelch opens may still show the channel before; the first one
        // that comes while the hit is open shows the radio at its start.
        if (active && open && !displayTaken && reply.records.lcd.lcdValid) {
            display = reply.records.lcd;
            displayTaken = true;
            Tell(HitEdge::Shown, reply.tickMs);
        }
        return;
    }
    const uint32_t tick = reply.tickMs;
    if (active && heard && tick - lastStatusTick > rules.silenceMs) {
        End(open ? lastStatusTick : closedTick, ended);
    }
    heard = true;
    lastStatusTick = tick;
    const RadioStatus& now = reply.records.status;
    if (!now.statusValid) {
        return;
    }
    const bool squelch = (now.indicatorFlags() & SQUELCH_OPEN_FLAG) != 0;
    const bool sameFrequency = now.frequencyHz() == status.frequencyHz();
    if (active && !open) {
        if (tick - closedTick >= rules.mergeGapMs || (squelch && !sameFrequency)) {
            End(closedTick, ended);
        } else if (squelch) {
            open = true;
            Sample(now.rssi());
            Tell(HitEdge::Reopened, tick);
            return;
        } else {
            return;
        }
    }
    if (active && open) {
        if (!squelch) {
            open = false;
            closedTick = tick;
            Tell(HitEdge::Closed, tick);
            if (rules.mergeGapMs == 0) {
                End(closedTick, ended);
            }
            return;
        }
        if (sameFrequency) {
            Sample(now.rssi());
            return;
        }
        // Still open, but on another frequency: a scanner that went straight
        // from one transmission to the next.
        End(tick, ended);
    }
    if (squelch) {
        Begin(reply);
    }
}

void HitDetector::Close(std::vector<Hit>& ended)
{
    if (active) {
        End(open ? lastStatusTick : closedTick, ended);
    }
    heard = false;
}

void HitDetector::Begin(const StoredReply& reply)
{
    active = true;
    open = true;
    displayTaken = false;
    startTick = reply.tickMs;
    status = reply.records.status;
    display = reply.records.lcd;
    rssiSum = 0;
    samples = 0;
    rssiMax = 0;
    Sample(status.rssi());
    startMs = wall.MsOfTick(startTick);
    offsetMinutes = wall.OffsetMinutesAt(startMs);
    Tell(HitEdge::Began, startTick);
}

void HitDetector::Sample(uint16_t rssi)
{
    rssiSum += rssi;
    ++samples;
    rssiMax = std::max(rssiMax, rssi);
}

void HitDetector::End(uint32_t endTick, std::vector<Hit>& ended)
{
    Hit hit = Summary(endTick);
    if (observer) {
        observer(HitEdge::Ended, endTick, hit);
    }
    ended.push_back(std::move(hit));
    active = false;
    open = false;
}

void HitDetector::Tell(HitEdge edge, uint32_t tick) const
{
    if (observer) {
        Hit sofar = Summary(tick);
        observer(edge, tick, sofar);
    }
}

Hit HitDetector::Summary(uint32_t endTick) const
{
    Hit hit;
    hit.startMs = startMs;
    hit.utcOffsetMinutes = offsetMinutes;
    hit.durationMs = endTick - startTick;
    hit.frequencyHz = status.frequencyHz();
    hit.modulation = std::string(statustext::ModulationText(status.modulationIndex()));
    hit.mode = std::string(statustext::ModeText(status.modeIndex()));
    hit.display = DisplayText(display);
    hit.rssiMax = rssiMax;
    hit.rssiMean = static_cast<uint16_t>(samples == 0 ? 0 : (rssiSum + samples / 2) / samples);
    return hit;
}

std::string DisplayText(const LcdImage& lcd)
{
    std::string text;
    if (!lcd.lcdValid) {
        return text;
    }
    for (const auto& row : lcd.rows) {
        const std::string shown = lcdtext::RowText(row);
        const size_t first = shown.find_first_not_of(' ');
        if (first == std::string::npos) {
            continue;
        }
        const size_t last = shown.find_last_not_of(' ');
        text += (text.empty() ? "" : " | ") + shown.substr(first, last - first + 1);
    }
    return text;
}
