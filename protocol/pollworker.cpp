#include "radiolink.h"

#include <vector>

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
    if (link.statusValid && link.Port().HungUp()) {
        // A lost reply keeps the last status on screen, but a line that
        // has hung up will bring none again: showing the radio's last
        // status then would tell the user it is still there.
        link.ClearStatusValid();
        link.NotifyRefresh();
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
    while (!link.stopRequested) {
        clock.Sleep(10);
        if (!link.linkRunning) {
            continue;
        }
        const uint32_t now = clock.TickCount();
        if (link.pollLcd != 0 && now - lcdPollTime >= 100) {
            PollLcdOnce(link, buffer.data());
            lcdPollTime = now;
        }
        if (now - statusPollTime < 10) {
            continue;
        }
        PollStatusOnce(link, buffer.data());
        statusPollTime = now;
    }
    return 0;
}
