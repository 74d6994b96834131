#include "protocol/radiolink.h"

#include "protocol/replyhunter.h"

#include <algorithm>
#include <chrono>
#include <cstring>

RadioLink::RadioLink(Clock& clock) : clock(clock), port(clock) {}

RadioLink::~RadioLink()
{
    StopWorker();
}

bool RadioLink::OpenPort(int comPort)
{
    return OpenPortNamed("\\\\.\\COM" + std::to_string(comPort));
}

bool RadioLink::OpenPortNamed(const std::string& name)
{
    openError = {};
    if (port.Open(name.c_str(), 115200, 'N', 8, 1, true, true)) {
        MarkOpen();
        return true;
    }
    openError = port.LastError();
    port.Close();
    return false;
}

void RadioLink::StartPolling()
{
    state = pollLcd != 0 ? LinkState::Answering : LinkState::LcdPollsOff;
    StartWorker(PollWorker);
}

void RadioLink::StopWorkerThread()
{
    if (worker.joinable()) {
        {
            const std::lock_guard<std::mutex> lock(stopLock);
            stopRequested = true;
        }
        stopWake.notify_all();
        worker.join();
    }
}

bool RadioLink::PauseUnlessStopped(uint32_t ms)
{
    std::unique_lock<std::mutex> lock(stopLock);
    return !stopWake.wait_for(lock, std::chrono::milliseconds(ms), [this] { return stopRequested.load(); });
}

void RadioLink::StopWorker()
{
    StopWorkerThread();
    // Frames may come from other threads (the control server's): the port
    // closes between two of them, never under one.
    const std::lock_guard<std::mutex> lock(lineLock);
    if (Running()) {
        port.Close();
    }
    portClosed = false;
    state = LinkState::Stopped;
}

void RadioLink::ChangeState(LinkState next)
{
    // A worker on its way out has nothing more to say: whoever stopped it
    // sets the state that follows.
    if (!stopRequested && state.exchange(next) != next) {
        NotifyRefresh();
    }
}

void RadioLink::NoteAnswering(bool answering)
{
    ChangeState(!answering ? LinkState::NotAnswering : pollLcd != 0 ? LinkState::Answering : LinkState::LcdPollsOff);
}

void RadioLink::PortLost()
{
    {
        // Under the line's lock, so that no frame of another thread is being
        // written as the port closes, and none is tried until it is back.
        const std::lock_guard<std::mutex> lock(lineLock);
        if (portClosed) {
            return;
        }
        portClosed = true;
        state = LinkState::PortGone;
        port.Close();
    }
    ClearStatusValid();
    if (!stopRequested) {
        NotifyRefresh();
    }
}

bool RadioLink::ReopenPort()
{
    // No frame touches the port while it is gone, so the open needs no lock;
    // holding the line's through it would stall a key press for as long as a
    // network endpoint takes to refuse.
    if (!port.OpenAgain(115200, 'N', 8, 1, true, true)) {
        port.Close();
        return false;
    }
    // The state stays until the radio answers, or is found not to: an open
    // port is not yet a radio.
    const std::lock_guard<std::mutex> lock(lineLock);
    portClosed = false;
    return true;
}

void RadioLink::StartWorker(WorkerRoutine routine, LineUse use)
{
    StopWorkerThread();
    stopRequested = false;
    workerDone = false;
    // The line is handed over under its lock, and the thread is made under
    // it too: a frame of another thread is either out before the worker's
    // first byte or refused, and the worker's own first frame waits until it
    // is known as the owner. No routine looks at the thread object itself.
    const std::lock_guard<std::mutex> lock(lineLock);
    worker = std::thread([this, routine = std::move(routine)] {
        routine(*this);
        bool owned = false;
        {
            const std::lock_guard<std::mutex> released(lineLock);
            owned = lineOwner == std::this_thread::get_id();
            if (owned) {
                lineOwner = {};
            }
        }
        workerDone = true;
        if (owned && workerEnded) {
            workerEnded();
        }
    });
    lineOwner = use == LineUse::Owned ? worker.get_id() : std::thread::id{};
}

SendResult RadioLink::Transmit(const uint8_t* frame, int32_t length, int32_t& written)
{
    written = 0;
    const std::lock_guard<std::mutex> lock(lineLock);
    if (!Running()) {
        return SendResult::LinkStopped;
    }
    if (lineOwner != std::thread::id{} && lineOwner != std::this_thread::get_id()) {
        return SendResult::LineOwned;
    }
    if (portClosed) {
        return SendResult::PortGone;
    }
    port.Purge();
    written = port.Write(frame, length, 100);
    return written == length ? SendResult::Sent : SendResult::NotWritten;
}

int32_t RadioLink::SendCommand(const uint8_t* frame, int32_t length)
{
    int32_t written = 0;
    (void)Transmit(frame, length, written);
    return written;
}

SendResult RadioLink::SendKey(KeyCode code)
{
    const auto frame = KeyFrame(code);
    int32_t written = 0;
    return Transmit(frame.data(), static_cast<int32_t>(frame.size()), written);
}

SendResult RadioLink::SendTune(uint32_t hz, int32_t modulation)
{
    const auto frame = TuneFrame(hz, modulation);
    int32_t written = 0;
    return Transmit(frame.data(), static_cast<int32_t>(frame.size()), written);
}

const char* SendResultText(SendResult result)
{
    switch (result) {
    case SendResult::Sent: return "sent";
    case SendResult::LinkStopped: return "the link is stopped";
    case SendResult::LineOwned: return "a memory image transfer holds the line";
    case SendResult::NotWritten: return "the port did not take the whole frame";
    case SendResult::PortGone: return "the port has gone; the link waits for it to come back";
    }
    return "";
}

bool RadioLink::ReadReply(uint8_t* buffer, int32_t length, uint8_t command, uint32_t timeoutMs)
{
    if (!Running() || buffer == nullptr || length < 2) {
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
        // The read waits in the driver for what the frame still lacks, and
        // asks for no more, so nothing after the frame is taken. Asking first
        // how much is waiting would only cost a call to the system per read.
        const auto chunk = std::min<int32_t>(hunter.Missing(), static_cast<int32_t>(sizeof scratch));
        const int32_t got = port.Read(scratch, chunk, static_cast<int32_t>(timeoutMs - elapsed));
        if (got > 0) {
            if (hunter.Feed(scratch, got)) {
                return true;
            }
            continue;
        }
        // A line that has hung up fails every read at once; waiting out the
        // limit as on a silent line keeps this loop from spinning on it.
        const uint32_t now = clock.TickCount() - start;
        if (now < timeoutMs) {
            port.WaitForInput(static_cast<int32_t>(timeoutMs - now));
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

bool RadioLink::StoreLcdReply(const uint8_t* reply)
{
    bool changed = false;
    uint64_t sequence = 0;
    {
        const std::lock_guard<std::mutex> lock(recordLock);
        changed = !lcdValid;
        for (int k = 0; k < 4; ++k) {
            uint8_t* const row = lcdImage.rows[k];
            const uint8_t* const received = reply + 2 + static_cast<size_t>(16 * k);
            changed = changed || std::memcmp(row, received, 16) != 0;
            std::memcpy(row, received, 16);
        }
        changed = changed || lcdImage.iconFlagsA != reply[66] || lcdImage.iconFlagsB != reply[67];
        lcdImage.iconFlagsA = reply[66];
        lcdImage.iconFlagsB = reply[67];
        lcdValid = true;
        sequence = ++lcdRepliesStored;
    }
    Stored(RecordKind::Lcd, sequence, changed);
    return changed;
}

bool RadioLink::StoreStatusReply(const uint8_t* reply)
{
    bool changed = false;
    uint64_t sequence = 0;
    {
        const std::lock_guard<std::mutex> lock(recordLock);
        changed = !statusValid || std::memcmp(radioStatus.block, reply + 2, sizeof radioStatus.block) != 0;
        std::memcpy(radioStatus.block, reply + 2, sizeof radioStatus.block);
        statusValid = true;
        statusStoredTick = clock.TickCount();
        sequence = ++statusRepliesStored;
    }
    Stored(RecordKind::Status, sequence, changed);
    return changed;
}

void RadioLink::Stored(RecordKind kind, uint64_t sequence, bool changed)
{
    {
        const std::lock_guard<std::mutex> lock(observerLock);
        if (storeObserver) {
            // Replies are stored by one thread at a time (the worker), so no
            // other store comes between this one and the copy.
            storeObserver(StoredReply{kind, sequence, clock.TickCount(), changed, Snapshot()});
        }
        if (kind == RecordKind::Status && statusWake) {
            statusWake();
        }
    }
    if (changed || refreshEveryReply) {
        NotifyRefresh();
    }
}

void RadioLink::SetStoreObserver(std::function<void(const StoredReply&)> observer)
{
    const std::lock_guard<std::mutex> lock(observerLock);
    storeObserver = std::move(observer);
}

void RadioLink::SetStatusWake(std::function<void()> wake)
{
    const std::lock_guard<std::mutex> lock(observerLock);
    statusWake = std::move(wake);
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
