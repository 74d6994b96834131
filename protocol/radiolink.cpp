#include "radiolink.h"

#include "replyhunter.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

RadioLink::RadioLink(Clock& clock) : clock(clock), port(clock) {}

RadioLink::~RadioLink()
{
    StopWorker();
}

bool RadioLink::OpenPort(int comPort)
{
    char name[32];
    (void)std::snprintf(name, sizeof name, "\\\\.\\COM%d", comPort);
    openError = {};
    if (port.Open(name, 115200, 'N', 8, 1, true, true)) {
        return true;
    }
    openError = port.LastError();
    port.Close();
    return false;
}

void RadioLink::StartPolling()
{
    StartWorker(PollWorker);
    linkRunning = true;
}

void RadioLink::StopWorkerThread()
{
    if (worker.joinable()) {
        stopRequested = true;
        worker.join();
    }
}

void RadioLink::StopWorker()
{
    StopWorkerThread();
    if (linkRunning) {
        port.Close();
        linkRunning = false;
    }
}

void RadioLink::StartWorker(WorkerRoutine routine)
{
    StopWorkerThread();
    stopRequested = false;
    workerDone = false;
    // No routine looks at the thread object itself, so it may run before the
    // assignment below completes; the flags it reads are already in place.
    worker = std::thread([this, routine = std::move(routine)] {
        routine(*this);
        workerDone = true;
    });
}

int32_t RadioLink::SendCommand(const uint8_t* frame, int32_t length)
{
    if (!linkRunning) {
        return 0;
    }
    port.Purge();
    return port.Write(frame, length, 100);
}

void RadioLink::SendKey(KeyCode code)
{
    const auto frame = KeyFrame(code);
    if (linkRunning) {
        SendCommand(frame.data(), static_cast<int32_t>(frame.size()));
    }
}

bool RadioLink::SendTune(double frequencyMHz, int32_t modulation)
{
    if (!TuneFrequencyFits(frequencyMHz)) {
        return false;
    }
    const auto frame = TuneFrame(frequencyMHz, modulation);
    if (linkRunning) {
        SendCommand(frame.data(), static_cast<int32_t>(frame.size()));
    }
    return true;
}

bool RadioLink::ReadReply(uint8_t* buffer, int32_t length, uint8_t command, uint32_t timeoutMs)
{
    if (!linkRunning || buffer == nullptr || length < 2) {
        return false;
    }
    ReplyHunter hunter(buffer, length, command);
    const uint32_t start = clock.TickCount();
    uint8_t scratch[100];
    for (;;) {
        const uint32_t elapsed = clock.TickCount() - start;
        if (elapsed >= timeoutMs) {
            return false;
        }
        const uint32_t waiting = port.BytesWaiting();
        if (waiting == 0) {
            // Sleep in the driver until input comes rather than asking again
            // and again; the limit is tested as soon as the wait ends.
            port.WaitForInput(static_cast<int32_t>(timeoutMs - elapsed));
            continue;
        }
        const auto chunk = static_cast<int32_t>(std::min<uint32_t>(
            {waiting, static_cast<uint32_t>(hunter.Missing()), static_cast<uint32_t>(sizeof scratch)}));
        const int32_t got = port.Read(scratch, chunk, 200);
        if (got > 0 && hunter.Feed(scratch, got)) {
            return true;
        }
    }
}

PanelSnapshot RadioLink::Snapshot() const
{
    const std::lock_guard<std::mutex> lock(recordLock);
    PanelSnapshot snapshot{lcdImage, radioStatus};
    snapshot.lcd.lcdValid = lcdValid;
    snapshot.status.statusValid = statusValid;
    return snapshot;
}

void RadioLink::StoreLcdReply(const uint8_t* reply)
{
    {
        const std::lock_guard<std::mutex> lock(recordLock);
        for (int k = 0; k < 4; ++k) {
            std::memcpy(lcdImage.rows[k], reply + 2 + static_cast<size_t>(16 * k), 16);
        }
        lcdImage.iconFlagsA = reply[66];
        lcdImage.iconFlagsB = reply[67];
        lcdValid = true;
    }
    ++lcdRepliesStored;
}

void RadioLink::StoreStatusReply(const uint8_t* reply)
{
    {
        const std::lock_guard<std::mutex> lock(recordLock);
        std::memcpy(radioStatus.block, reply + 2, sizeof radioStatus.block);
        statusValid = true;
    }
    ++statusRepliesStored;
}

void RadioLink::WriteBanner(std::string_view row1, std::string_view row2)
{
    const std::lock_guard<std::mutex> lock(recordLock);
    statusValid = false;
    lcdValid = true;
    lcdImage.iconFlagsA = 0;
    lcdImage.iconFlagsB = 0;
    const std::string_view texts[4] = {row1, row2, "                ", "                "};
    for (int k = 0; k < 4; ++k) {
        std::memset(lcdImage.rows[k], ' ', 16);
        std::memcpy(lcdImage.rows[k], texts[k].data(), std::min<size_t>(texts[k].size(), 16));
        lcdImage.rows[k][16] = 0;
    }
}

void RadioLink::ClearValid()
{
    const std::lock_guard<std::mutex> lock(recordLock);
    lcdValid = false;
    lcdImage.iconFlagsA = 0;
    lcdImage.iconFlagsB = 0;
    statusValid = false;
}

void RadioLink::ClearStatusValid()
{
    const std::lock_guard<std::mutex> lock(recordLock);
    statusValid = false;
}

void RadioLink::NotifyRefresh()
{
    if (refresh) {
        refresh();
    }
}
