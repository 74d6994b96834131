// The two transfer workers. Each follows the radio's hand-shake byte for
// byte, but every wait is cut into short slices with a look at StopRequested()
// between them, so that STOP or Exit ends a transfer within a bounded time
// whatever the radio does.

#include "transfer/imagetransfer.h"

#include "protocol/radiolink.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>

namespace {

constexpr uint32_t RECORD_PAUSE_MS = 20;
constexpr uint32_t TRANSFER_WRITE_LIMIT_MS = 5000;
// No single port call may block longer than this, so a stop is seen soon.
constexpr uint32_t WRITE_SLICE_MS = 100;
constexpr uint32_t WAIT_SLICE_MS = 50;
constexpr int32_t READY_READ_LIMIT_MS = 100;
constexpr uint32_t FLOW_INTERVAL_MS = 500;
constexpr uint32_t SILENCE_END_MS = 500;
constexpr uint32_t SETTLE_MS = 300;
constexpr int32_t RECEIVE_CHUNK = 500;
constexpr int32_t RECEIVE_READ_LIMIT_MS = 200;

enum class WriteResult { Done, Stopped, TimedOut, HungUp };

// Writes the whole block, in calls of at most WRITE_SLICE_MS each, until it
// has gone, the budget is used up or a stop is asked for.
WriteResult WriteBlock(RadioLink& link, const uint8_t* data, int32_t count, uint32_t budgetMs)
{
    Clock& clock = link.GetClock();
    CSerialPort& port = link.Port();
    const uint32_t start = clock.TickCount();
    int32_t written = 0;
    while (written < count) {
        if (link.StopRequested()) {
            return WriteResult::Stopped;
        }
        const uint32_t used = clock.TickCount() - start;
        if (used >= budgetMs) {
            return WriteResult::TimedOut;
        }
        const uint32_t callStart = clock.TickCount();
        const int32_t limit = static_cast<int32_t>(std::min(WRITE_SLICE_MS, budgetMs - used));
        const int32_t n = port.Write(data + written, count - written, limit);
        if (n > 0) {
            written += n;
            continue;
        }
        if (!port.IsOpen() || port.HungUp()) {
            return WriteResult::HungUp;
        }
        // A write refused at once would otherwise be retried without pause.
        if (clock.TickCount() - callStart < WAIT_SLICE_MS / 5) {
            clock.Sleep(WAIT_SLICE_MS / 5);
        }
    }
    return WriteResult::Done;
}

TransferOutcome OutcomeOf(WriteResult result)
{
    switch (result) {
    case WriteResult::Done: return TransferOutcome::Completed;
    case WriteResult::Stopped: return TransferOutcome::Stopped;
    case WriteResult::TimedOut: return TransferOutcome::RadioNotTaking;
    case WriteResult::HungUp: return TransferOutcome::LinkLost;
    }
    return TransferOutcome::LinkLost;
}

// Sleeps `ms` in slices; false when a stop cut the sleep short.
bool SleepUnlessStopped(RadioLink& link, uint32_t ms)
{
    Clock& clock = link.GetClock();
    const uint32_t start = clock.TickCount();
    for (;;) {
        if (link.StopRequested()) {
            return false;
        }
        const uint32_t used = clock.TickCount() - start;
        if (used >= ms) {
            return true;
        }
        clock.Sleep(std::min(WAIT_SLICE_MS, ms - used));
    }
}

// Time to block for input: no longer than a stop slice, and not past the
// next FLOW_BYTE or the end of the data, so both keep their 500 ms rules.
int32_t ReceiveWaitMs(uint32_t now, uint32_t lastFlow, int32_t total, uint32_t lastData)
{
    uint32_t wait = WAIT_SLICE_MS;
    const uint32_t sinceFlow = now - lastFlow;
    wait = std::min(wait, sinceFlow < FLOW_INTERVAL_MS ? FLOW_INTERVAL_MS - sinceFlow : 0);
    if (total != 0) {
        const uint32_t sinceData = now - lastData;
        wait = std::min(wait, sinceData <= SILENCE_END_MS ? SILENCE_END_MS + 1 - sinceData : 0);
    }
    return static_cast<int32_t>(std::max<uint32_t>(wait, 1));
}

// A received chunk reaches the file or the receive ends: a full disk or a
// removed medium must not leave a file silently cut short.
bool StoreBytes(ImageTransfer& transfer, const uint8_t* data, int32_t count)
{
    errno = 0;
    const size_t stored = std::fwrite(data, 1, static_cast<size_t>(count), transfer.imageFile);
    if (stored != static_cast<size_t>(count) || std::fflush(transfer.imageFile) != 0 ||
        std::ferror(transfer.imageFile)) {
        transfer.fileError = errno != 0 ? errno : EIO;
        return false;
    }
    return true;
}

// The running total, overwritten in place. False once the stream refuses it
// (a pipe whose reader has gone, a full disk): the receive then writes no
// more progress, and goes on as if nothing had happened, since the image is
// unaffected.
bool ShowTotal(std::FILE* out, int32_t total)
{
    return std::fprintf(out, "\r%6d", total) >= 0 && std::fflush(out) == 0;
}

} // namespace

uint64_t ExpectedSendMs(int32_t records)
{
    // Each record is followed by the pause; the line carries its 132 bytes
    // (11.5 ms at 115200 baud) meanwhile, so the pause sets the pace, and the
    // write and the sleep's own overshoot add about a millisecond.
    return static_cast<uint64_t>(std::max<int32_t>(records, 0)) * (RECORD_PAUSE_MS + 1);
}

int ImageSendWorker(RadioLink& link, ImageTransfer& transfer)
{
    CSerialPort& port = link.Port();
    link.SendCommand(imageSendStartFrame.data(), static_cast<int32_t>(imageSendStartFrame.size()));
    std::array<uint8_t, IMAGE_RECORD_SIZE> record{};
    bool ready = false;
    TransferOutcome how = TransferOutcome::Completed;
    while (transfer.imageBytesLeft > 0) {
        if (link.StopRequested()) {
            how = TransferOutcome::Stopped;
            break;
        }
        if (!ready) {
            if (port.BytesWaiting() == 0) {
                if (!port.IsOpen() || port.HungUp()) {
                    how = TransferOutcome::LinkLost;
                    break;
                }
                port.WaitForInput(static_cast<int32_t>(WAIT_SLICE_MS));
                continue;
            }
            uint8_t byte = 0;
            if (port.Read(&byte, 1, READY_READ_LIMIT_MS) == 1 && byte == FLOW_BYTE) {
                ready = true;
                transfer.waitingForRadio = false;
            }
            continue;
        }
        errno = 0;
        const size_t got = std::fread(record.data(), 1, record.size(), transfer.imageFile);
        if (got < record.size() && std::ferror(transfer.imageFile)) {
            transfer.fileError = errno != 0 ? errno : EIO;
            how = TransferOutcome::FileReadFailed;
            break;
        }
        if (got > 0) {
            const WriteResult result =
                WriteBlock(link, record.data(), static_cast<int32_t>(got), TRANSFER_WRITE_LIMIT_MS);
            if (result != WriteResult::Done) {
                how = OutcomeOf(result);
                break;
            }
            ++transfer.recordsSent;
        }
        // A file that shrank after the size test still ends after the
        // promised number of passes.
        transfer.imageBytesLeft -= IMAGE_RECORD_SIZE;
        link.GetClock().Sleep(RECORD_PAUSE_MS);
    }
    transfer.outcome = how;
    return 0;
}

int ImageReceiveWorker(RadioLink& link, ImageTransfer& transfer)
{
    Clock& clock = link.GetClock();
    CSerialPort& port = link.Port();
    if (!SleepUnlessStopped(link, SETTLE_MS)) {
        transfer.outcome = TransferOutcome::Stopped;
        return 0;
    }
    // What is still on the line (the tail of a poll reply) is no part of the image.
    port.Purge();
    link.SendCommand(imageReceiveStartFrame.data(), static_cast<int32_t>(imageReceiveStartFrame.size()));

    std::array<uint8_t, RECEIVE_CHUNK> buffer{};
    std::FILE* progress = transfer.ProgressStream();
    bool totalShown = false;
    int32_t total = 0;
    uint32_t lastFlow = clock.TickCount() - FLOW_INTERVAL_MS;
    uint32_t lastData = lastFlow;
    TransferOutcome how = TransferOutcome::Completed;
    for (;;) {
        if (link.StopRequested()) {
            how = TransferOutcome::Stopped;
            break;
        }
        if (clock.TickCount() - lastFlow >= FLOW_INTERVAL_MS) {
            const WriteResult result = WriteBlock(link, &FLOW_BYTE, 1, TRANSFER_WRITE_LIMIT_MS);
            if (result == WriteResult::Stopped || result == WriteResult::HungUp) {
                how = OutcomeOf(result);
                break;
            }
            lastFlow = clock.TickCount();
        }
        uint32_t waiting = port.BytesWaiting();
        if (waiting == 0) {
            if (!port.IsOpen() || port.HungUp()) {
                how = TransferOutcome::LinkLost;
                break;
            }
            port.WaitForInput(ReceiveWaitMs(clock.TickCount(), lastFlow, total, lastData));
            waiting = port.BytesWaiting();
        }
        if (waiting != 0) {
            const auto chunk = static_cast<int32_t>(std::min<uint32_t>(waiting, RECEIVE_CHUNK));
            const int32_t k = port.Read(buffer.data(), chunk, RECEIVE_READ_LIMIT_MS);
            if (k > 0) {
                if (!StoreBytes(transfer, buffer.data(), k)) {
                    how = TransferOutcome::FileWriteFailed;
                    break;
                }
                total += k;
                transfer.bytesReceived = total;
                transfer.waitingForRadio = false;
                lastData = clock.TickCount();
                if (progress != nullptr) {
                    totalShown = ShowTotal(progress, total);
                    progress = totalShown ? progress : nullptr;
                }
            }
        }
        if (total != 0 && clock.TickCount() - lastData > SILENCE_END_MS) {
            break;
        }
    }
    // The total's line is ended, so that a terminal is left tidy.
    if (totalShown && std::fputs("\n", progress) >= 0) {
        (void)std::fflush(progress); // a failure here only costs the line end
    }
    transfer.outcome = how;
    return 0;
}
