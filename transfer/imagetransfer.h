#pragma once

// The one running memory-image transfer: its stream, its count, how far it
// has come and how it ended. The window owns one; the workers use it while
// they run and the window thread only after they have ended, so the plain
// members need no lock. The progress counters are atomic because a progress
// display may read them while a worker runs.

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

class RadioLink;

inline constexpr std::string_view SEND_BANNER_ROW1 = "Sending from PC ";
inline constexpr std::string_view SEND_BANNER_ROW2 = "    to radio    ";
inline constexpr std::string_view RECEIVE_BANNER_ROW1 = "Receiving to PC ";
inline constexpr std::string_view RECEIVE_BANNER_ROW2 = "   from radio   ";

enum class TransferKind { None, Send, Receive };

// How a worker left its loops. Only Completed is a whole image.
enum class TransferOutcome {
    Running,
    Completed,
    Stopped,          // STOP or Exit asked the worker to end
    Cancelled,        // the user cancelled the transfer; the link runs on
    FileWriteFailed,  // the received bytes could not all be stored
    FileReadFailed,   // the image file could not be read while sending
    RadioNotTaking,   // a record found no room on the line for its whole budget
    LinkLost,         // the device hung up under the worker
    NotReplaced,      // a whole image came, but could not take the target's place
    NotWhole,         // the radio fell silent, but what came is no whole number of records
    FewerRecords,     // a whole image came with fewer records than the file it was to replace
};

// What the window thread learns from one look at a transfer.
struct TransferReport {
    bool ended = false;            // the timer may stop: nothing is left to supervise
    bool pollingRestarted = false;
    TransferOutcome outcome = TransferOutcome::Running;
    std::string message;           // for the user; empty when there is nothing to tell
    std::string summary;           // what a transfer that ended well did; empty otherwise
    std::string keptPath;          // where the bytes of an unfinished receive are kept; empty when none
    int32_t radioRecords = 0;      // the records of the radio's image, once a receive has put it in place
};

class ImageTransfer {
public:
    ImageTransfer() = default;
    virtual ~ImageTransfer();

    ImageTransfer(const ImageTransfer&) = delete;
    ImageTransfer& operator=(const ImageTransfer&) = delete;

    // Opens `path` for a send and checks that it holds whole records. On
    // failure nothing is kept open and the user's message is returned; an
    // empty result means the transfer is ready to start.
    std::string OpenForSending(const std::string& path);
    // Prepares a receive into `path`; same contract. A regular file (or
    // none) is not touched: the image goes to a new file beside it, which
    // takes its place only once the receive has ended well. A device is
    // written directly.
    std::string OpenForReceiving(const std::string& path);
    // The same, for a stream the caller opened; the transfer owns it from here
    // on, whatever the result.
    std::string BeginSend(std::FILE* stream, const std::string& path);
    std::string BeginReceive(std::FILE* stream, const std::string& path);

    // A send replaces all the radio holds: the question to ask before it
    // starts, naming the file, its records and the time it will take, and
    // the records the radio's image last had where the file has more.
    std::string SendQuestion() const;
    // The records the radio's image had when it was last received whole (0:
    // not known), for the send question.
    void SetRadioRecords(int32_t records) { radioRecords = records; }
    // A receive that ended FewerRecords: the question whether its image is to
    // replace the larger file all the same, naming both counts.
    std::string ReplaceQuestion() const;
    // Yes to that question: the kept image takes the file's place. The report
    // is that of a whole receive, or NotReplaced; after any other end it only
    // says that nothing is left to settle.
    TransferReport ReplaceWithReceived();
    // Drops a transfer that was opened but never started (the user said
    // No): the stream is closed, and a receive's new file removed.
    void Abandon();
    // The core of the start-of-transfer sequence: the running worker is
    // stopped with the port left open, the transfer worker started and the
    // banner written. False (and the stream closed) when nothing was opened,
    // the link does not run or its port has gone, since the worker would
    // only wait on a closed port.
    bool Start(RadioLink& link);

    // The transfer timer's test. While the worker runs nothing happens. Once
    // it has returned the stream is closed, polling put back if the link
    // still runs, and the report tells how the transfer ended.
    TransferReport Supervise(RadioLink& link);

    // True once the transfer's worker has returned, or was ended by a stop
    // of the link; the transfer timer's test of the worker.
    bool WorkerFinished(const RadioLink& link) const;

    // STOP or Exit during a transfer: the worker is ended (port left open for
    // the caller to close), the stream closed and the user told what was cut
    // short. Polling is not restarted. Does nothing when no transfer runs.
    TransferReport Stop(RadioLink& link);

    // Cancel from the progress window: the worker is ended as by a stop
    // (bounded), the stream closed, and polling put back at once while the
    // link runs, as after a finished transfer (unless `resumePolling` is
    // false: Exit is about to stop the link). A worker that had already
    // finished keeps its own outcome. Does nothing when no transfer runs.
    TransferReport Cancel(RadioLink& link, bool resumePolling = true);

    // How far the running transfer has come, read while its worker runs.
    struct Progress {
        TransferKind kind = TransferKind::None;
        int32_t recordsSent = 0;
        int32_t recordsTotal = 0;
        int32_t bytesReceived = 0;
        bool waitingForRadio = false; // nothing has come from the radio yet
    };
    Progress Snapshot() const
    {
        return {kind, recordsSent.load(), recordsTotal.load(), bytesReceived.load(), waitingForRadio.load()};
    }

    // True from a successful Open/Begin until Supervise or Stop has closed the
    // stream: a second transfer must not start meanwhile.
    bool Active() const { return imageFile != nullptr; }

    // Where the running total of a receive goes; tests catch it in a file.
    void SetProgressStream(std::FILE* stream) { progressStream = stream; }
    std::FILE* ProgressStream() const { return progressStream; }
    // The file the user chose.
    const std::string& Path() const { return path; }
    // The file the running receive writes: beside Path(), or Path() itself
    // for a device.
    const std::string& WritePath() const { return writePath; }

    // The state of the running transfer, used by the workers.
    std::FILE* imageFile = nullptr;
    int32_t imageBytesLeft = 0;
    TransferKind kind = TransferKind::None;
    std::atomic<int32_t> recordsSent{0};
    std::atomic<int32_t> recordsTotal{0};
    std::atomic<int32_t> bytesReceived{0};
    std::atomic<TransferOutcome> outcome{TransferOutcome::Running};
    // Set when the transfer begins; cleared by the worker once the radio
    // shows it takes part (the ready byte of a send, a receive's first data).
    std::atomic<bool> waitingForRadio{false};
    // errno of a failed file operation, written before `outcome`.
    int fileError = 0;

private:
    std::string Busy() const;
    // What a look at a transfer that has already been taken down reports.
    TransferReport NothingRunning() const;
    TransferReport Finish(TransferOutcome how);
    void Reset(std::FILE* stream, const std::string& filePath, TransferKind newKind);
    // A receive's new file once its stream is closed: in the target's place
    // when `how` is whole and has no fewer records than the target, else kept
    // beside it when it holds anything.
    TransferOutcome SettleReceivedFile(TransferOutcome how);
    // The report of an end: outcome, message, summary and what was kept.
    TransferReport Report(TransferOutcome how);
    // The kept image in the target's place; Completed, or NotReplaced.
    TransferOutcome PutInPlace();
    // What a send that did not end whole leaves in the radio, for its message.
    std::string RadioHolds() const;
    void RestartPollingIfRunning(RadioLink& link, TransferReport& report);
    std::string Describe(TransferOutcome how) const;
    std::string Summary() const;

    std::string path;
    std::string writePath;
    // A receive into a new file beside the target, renamed over it when whole.
    bool replaceTarget = false;
    bool targetExisted = false;
    int32_t targetRecords = 0;  // what the file to be replaced held when the receive ended
    int32_t radioRecords = 0;
    // A FewerRecords receive whose image waits for the user's word.
    bool awaitingReplace = false;
    std::string resolvedTarget; // what the new file replaces: a link's file, not the link
    std::string keptPath;       // where an unfinished receive's bytes stayed
    std::FILE* progressStream = stdout;
};

// How long a send of `records` takes: the workers' pace per record.
uint64_t ExpectedSendMs(int32_t records);

// Thread routines, run through RadioLink::StartWorker. Both return 0 and end
// within a bounded time once link.StopRequested() is set.
int ImageSendWorker(RadioLink& link, ImageTransfer& transfer);
int ImageReceiveWorker(RadioLink& link, ImageTransfer& transfer);
