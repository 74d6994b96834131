#include "protocol/radiolink.h"

#include <vector>

namespace {

// The port has been closed after a hang-up; it is looked for at most once a
// second until it opens again. In between the worker sleeps, woken only by a
// stop. False when the worker was asked to stop.
bool AwaitPort(RadioLink& link)
{
    Clock& clock = link.GetClock();
    // The first look waits too: a device that has just hung up may still
    // have its node, and a network server that has just gone its listener.
    uint32_t lookedAt = clock.TickCount();
    while (!link.StopRequested()) {
        const uint32_t waited = clock.TickCount() - lookedAt;
        if (waited < PORT_LOOK_PACE_MS) {
            if (!link.PauseUnlessStopped(PORT_LOOK_PACE_MS - waited)) {
                return false;
            }
            continue;
        }
        lookedAt = clock.TickCount();
        if (link.ReopenPort()) {
            return true;
        }
    }
    return false;
}

} // namespace

bool PollLcdOnce(RadioLink& link, uint8_t* buffer)
{
    link.SendCommand(lcdPollFrame.data(), static_cast<int32_t>(lcdPollFrame.size()));
    ++link.lcdPollsSent;
    if (!link.ReadReply(buffer, LCD_REPLY_LENGTH, CMD_LCD, 100)) {
        return false;
    }
    // The store asks for a refresh itself, and only when the display changed.
    link.StoreLcdReply(buffer);
    return true;
}

bool PollStatusOnce(RadioLink& link, uint8_t* buffer)
{
    link.SendCommand(statusPollFrame.data(), static_cast<int32_t>(statusPollFrame.size()));
    ++link.statusPollsSent;
    if (link.ReadReply(buffer, STATUS_REPLY_LENGTH, CMD_STATUS, 100)) {
        link.StoreStatusReply(buffer);
        return true;
    }
    return false;
}

int PollWorker(RadioLink& link)
{
    Clock& clock = link.GetClock();
    std::vector<uint8_t> buffer(2000);
    // Both polls start 200 ms overdue so that the first pass sends both.
    uint32_t lcdPollTime = clock.TickCount() - 200;
    uint32_t statusPollTime = lcdPollTime;
    uint32_t answeredAt = clock.TickCount();
    // Whether a reply has come since the port was found again: until one
    // does, or the radio's second to answer is over, the state stays.
    bool heard = true;
    while (!link.StopRequested()) {
        // A worker put back after a transfer may find the port already gone.
        if (link.PortClosed()) {
            if (!AwaitPort(link)) {
                break;
            }
            answeredAt = clock.TickCount();
            heard = false;
            lcdPollTime = answeredAt - 200;
            statusPollTime = lcdPollTime;
            continue;
        }
        clock.Sleep(10);
        if (!link.Running()) {
            continue;
        }
        const uint32_t now = clock.TickCount();
        bool lost = false;
        if (link.LcdPolls() != 0 && now - lcdPollTime >= 100) {
            lost = !PollLcdOnce(link, buffer.data());
            lcdPollTime = now;
            if (!lost) {
                answeredAt = clock.TickCount();
                heard = true;
            }
        }
        if (now - statusPollTime >= 10) {
            if (PollStatusOnce(link, buffer.data())) {
                answeredAt = clock.TickCount();
                heard = true;
            } else {
                lost = true;
            }
            statusPollTime = now;
        }
        if (lost && link.Port().HungUp()) {
            // A lost reply keeps the last status on screen, but a line that
            // has hung up will bring none again: the port is let go and
            // waited for instead of being polled in vain.
            link.PortLost();
            continue;
        }
        const bool silent = clock.TickCount() - answeredAt >= ANSWER_LIMIT_MS;
        if (heard || silent) {
            link.NoteAnswering(!silent);
        }
    }
    return 0;
}
