#pragma once

#include "serial/clock.h"
#include "protocol/frames.h"
#include "protocol/linkstate.h"
#include "protocol/records.h"
#include "serial/serialport.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <type_traits>

// Whether a frame went out, and if not, why; a caller that answers someone
// (a command line, a network client) can then tell the truth.
enum class SendResult {
    Sent,
    LinkStopped,  // no link runs: nothing was touched
    LineOwned,    // a memory image transfer holds the line
    NotWritten,   // the port took the frame only in part, or not at all
    PortGone,     // the port has gone and is being waited for: nothing was sent
};

// One line of text for a result, for callers that report it.
const char* SendResultText(SendResult result);

// How a worker uses the line. An owner's frames are the only ones that go
// out while it runs: anything written between its bytes would become part
// of the image on the line.
enum class LineUse { Shared, Owned };

// Which record a poll reply went into.
enum class RecordKind { Lcd, Status };

// The link's counts, for tests and the benchmarks.
struct LinkStats {
    uint64_t lcdPollsSent = 0;
    uint64_t statusPollsSent = 0;
    uint64_t lcdRepliesStored = 0;
    uint64_t statusRepliesStored = 0;
};

// One stored poll reply, as a consumer that must see every one gets it.
struct StoredReply {
    RecordKind kind = RecordKind::Status;
    uint64_t sequence = 0; // replies of this kind stored since the link was made, this one included
    uint32_t tickMs = 0;   // the link clock's tick at the store
    bool changed = false;  // the record differs from the one held before
    PanelSnapshot records; // both records just after the store
};

// The core of the front panel: the one port, the link flags, the mirrored
// records and the one worker thread of the moment. The window owns one and
// forwards to it; nothing here knows about widgets, so the whole protocol can
// be driven without a window.
class RadioLink {
public:
    using WorkerRoutine = std::function<int(RadioLink&)>;

    explicit RadioLink(Clock& clock = SystemClock());
    virtual ~RadioLink();

    RadioLink(const RadioLink&) = delete;
    RadioLink& operator=(const RadioLink&) = delete;

    // START, first half: opens "\\.\COM<comPort>" at 115200 8N1 with DTR and
    // RTS raised; the link is then Open: frames may go, nothing polls yet.
    // On failure the port is closed again and OpenError() says why.
    bool OpenPort(int comPort);
    // The same for any port name: "\\.\COM<n>", a device path, or on POSIX
    // a network endpoint such as rfc2217://HOST:PORT.
    bool OpenPortNamed(const std::string& name);
    std::string OpenError() const { return openError.text; }
    SerialFault OpenFault() const { return openError.fault; }

    // START, second half: the state leaves Open for the radio's answers,
    // and the poll worker starts.
    void StartPolling();

    // Stops the worker (unbounded wait: every worker ends within a bounded
    // time once asked) and, while the link runs, closes the port. The state
    // is then Stopped; the caller, who stopped it, is not called back.
    void StopWorker();
    // The thread-stopping steps alone; the port stays open.
    void StopWorkerThread();

    // Replaces the worker of the moment by `routine` on a thread of its own.
    // Any running worker is stopped first, so at most one ever exists. A
    // worker that owns the line holds it from before its first instruction
    // until its routine returns.
    void StartWorker(WorkerRoutine routine, LineUse use = LineUse::Shared);
    bool HasWorker() const { return worker.joinable(); }
    // True once a worker exists and its routine has returned (a wait of 0 ms).
    bool WorkerEnded() const { return worker.joinable() && workerDone.load(); }

    // Every frame goes out through here: only while the link runs, and while
    // a worker owns the line only from that worker; after throwing away
    // waiting input, with a 100 ms limit. Returns the bytes written.
    int32_t SendCommand(const uint8_t* frame, int32_t length);
    SendResult SendKey(KeyCode code);
    SendResult SendTune(uint32_t hz, int32_t modulation);
    template <typename MHz, typename = std::enable_if_t<std::is_floating_point_v<MHz>>>
    SendResult SendTune(MHz, int32_t) = delete; // megahertz would go out as hertz

    // Collects one reply of `length` bytes that begins STX, `command`.
    bool ReadReply(uint8_t* buffer, int32_t length, uint8_t command, uint32_t timeoutMs);

    // Records, copied in and out whole under a lock held only while copying.
    PanelSnapshot Snapshot() const;
    // Store one poll reply. The refresh is asked for only when the record
    // then differs from the one held: most replies repeat what is shown, and
    // a window repainted for each would keep the processor and the display
    // busy for nothing. The store observer is told of every reply. True when
    // the record changed.
    bool StoreLcdReply(const uint8_t* reply);
    bool StoreStatusReply(const uint8_t* reply);
    // Transfer banner: no status, no icons, two rows of text over two blank rows.
    void WriteBanner(std::string_view row1, std::string_view row2);
    // STOP: no display, no icons, no status; the rows and status bytes stay.
    void ClearValid();
    // The radio has gone: no status, the display stays as it was last seen.
    void ClearStatusValid();

    // Called on the worker's thread when what is shown must change: a stored
    // record that differs from the one held, or a status the worker has
    // given up. Set it before a worker starts. The window turns it into a
    // posted refresh event.
    void SetRefreshCallback(std::function<void()> callback) { refresh = std::move(callback); }
    void NotifyRefresh();
    // Called on a worker's thread as its last act when it owned the line (a
    // transfer): whoever supervises it learns of the end without looking
    // again and again. Set it before such a worker starts.
    void SetWorkerEndCallback(std::function<void()> callback) { workerEnded = std::move(callback); }

    // Called on the worker's thread for every stored reply, changed or not,
    // before any refresh it causes: for consumers that must see each one
    // (hits, logs), which the refresh cannot feed. It may be set or cleared
    // at any time; once the setter returns, the old observer is neither
    // running nor called again. It must return quickly and must not set the
    // observer itself.
    void SetStoreObserver(std::function<void(const StoredReply&)> observer);
    // Called on the worker's thread after each stored status reply, for one
    // that waits to hear the radio after a frame of its own (the control
    // server's sets) and would otherwise have to look again and again. Set
    // and cleared as the store observer is; it must only wake its owner.
    void SetStatusWake(std::function<void()> wake);
    // The link clock's tick of the last stored status reply.
    uint32_t StatusStoredAt() const { return statusStoredTick.load(); }

    // What the link is doing. The poll worker finds the radio answering or
    // not, and the port gone or back, and announces each change through the
    // refresh callback; START and STOP set it too. Readable from any thread.
    LinkState State() const { return state.load(); }

    // The poll worker's findings. Each announces a change of state, except
    // once the worker has been asked to stop.
    // Replies came within the last second, or none did.
    void NoteAnswering(bool answering);
    // The port hung up: it is closed at once, so that the kernel may give the
    // device its name again, and no frame touches it until it is back. The
    // status goes, since none will come; the display stays, not current.
    void PortLost();
    // Opens the port again by the name it was opened by, through the same
    // mapping (a COM number's link is read afresh). True when it opened;
    // polling may then resume, and the state follows the radio's answers.
    bool ReopenPort();
    // True from PortLost until ReopenPort opened the port again.
    bool PortClosed() const { return portClosed.load(); }
    // A pause that a stop ends at once, for the wait for a port that has
    // gone. False when the worker has been asked to stop.
    bool PauseUnlessStopped(uint32_t ms);

    CSerialPort& Port() { return port; }
    Clock& GetClock() { return clock; }

    // True from the port's open until STOP, whatever the radio does: the
    // state is the one truth, and this only reads it.
    bool Running() const { return State() != LinkState::Stopped; }
    // For a test that opened the port by hand (on a pseudo-terminal's own
    // terms): the link counts as Open, or Stopped with the port left open.
    void SetRunningForTest(bool running)
    {
        if (running) {
            MarkOpen();
        } else {
            state = LinkState::Stopped;
        }
    }
    // Set by a stop of the worker of the moment; every worker ends soon after.
    bool StopRequested() const { return stopRequested.load(); }
    // Whether the poll worker asks for the display (0: status polls only).
    int32_t LcdPolls() const { return pollLcd.load(); }
    void SetLcdPolls(int32_t on) { pollLcd = on; }
    // Whether what the records hold came from the radio (or the banner).
    bool LcdValid() const { return lcdValid.load(); }
    bool StatusValid() const { return statusValid.load(); }

    // For side-by-side comparisons only (the benchmark, the pixel test):
    // every stored reply asks for a refresh, and the window repaints the LCD
    // and the lamp whole for each, as before change detection.
    void SetRefreshEveryReplyForTest(bool on) { refreshEveryReply = on; }
    bool RefreshEveryReplyForTest() const { return refreshEveryReply.load(); }

    // What the link has done since it was made; it changes nothing.
    LinkStats Stats() const
    {
        return {lcdPollsSent.load(), statusPollsSent.load(), lcdRepliesStored.load(), statusRepliesStored.load()};
    }

private:
    friend bool PollLcdOnce(RadioLink& link, uint8_t* buffer);
    friend bool PollStatusOnce(RadioLink& link, uint8_t* buffer);

    std::atomic<bool> stopRequested{false};
    std::atomic<int32_t> pollLcd{1};
    std::atomic<bool> lcdValid{false};
    std::atomic<bool> statusValid{false};
    std::atomic<bool> refreshEveryReply{false};
    std::atomic<uint64_t> lcdPollsSent{0};
    std::atomic<uint64_t> statusPollsSent{0};
    std::atomic<uint64_t> lcdRepliesStored{0};
    std::atomic<uint64_t> statusRepliesStored{0};
    Clock& clock;
    CSerialPort port;
    mutable std::mutex recordLock;
    LcdImage lcdImage;
    RadioStatus radioStatus;
    std::function<void()> refresh;
    std::function<void()> workerEnded;
    std::mutex observerLock;
    std::function<void(const StoredReply&)> storeObserver;
    std::function<void()> statusWake;
    std::atomic<uint32_t> statusStoredTick{0};
    void Stored(RecordKind kind, uint64_t sequence, bool changed);
    SendResult Transmit(const uint8_t* frame, int32_t length, int32_t& written);

    std::thread worker;
    std::atomic<bool> workerDone{false};
    std::mutex stopLock;
    std::condition_variable stopWake;
    std::atomic<LinkState> state{LinkState::Stopped};
    // Written under lineLock, so that no frame is begun on a closed port.
    std::atomic<bool> portClosed{false};
    void ChangeState(LinkState next);
    // A stopped link whose port has opened; a running one keeps its state.
    void MarkOpen()
    {
        LinkState stopped = LinkState::Stopped;
        (void)state.compare_exchange_strong(stopped, LinkState::Open);
    }
    // Taken for the whole of each frame's test and write, and to hand the
    // line to a worker, so that no frame straddles the hand-over.
    std::mutex lineLock;
    std::thread::id lineOwner;
    SerialError openError;
};

// One exchange of each poll, as the poll worker makes it: the frame sent, a
// good reply stored and announced. True when a reply was stored. `buffer`
// holds at least LCD_REPLY_LENGTH bytes.
bool PollLcdOnce(RadioLink& link, uint8_t* buffer);
bool PollStatusOnce(RadioLink& link, uint8_t* buffer);

// How long polls may go unanswered before the radio counts as not answering.
inline constexpr uint32_t ANSWER_LIMIT_MS = 1000;
// After a hang-up the port is looked for this often, never more.
inline constexpr uint32_t PORT_LOOK_PACE_MS = 1000;

// The poll worker's thread routine: mirrors the radio's display and status
// while the link runs, until StopRequested(). When the port hangs up it closes
// it and waits for it, then polls on. Returns 0.
int PollWorker(RadioLink& link);
