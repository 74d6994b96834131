#include "fakeradio.h"
#include "transfer/radiomemory.h"
#include "transfertestsupport.h"
#include "wrapclock.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fcntl.h>
#include <string_view>
#include <sys/stat.h>
#include <tuple>
#include <unistd.h>

namespace {

using Steady = std::chrono::steady_clock;

std::string RowText(const LcdImage& lcd, int row)
{
    return std::string(reinterpret_cast<const char*>(lcd.rows[row]), 16);
}

const std::vector<uint8_t> SEND_START(imageSendStartFrame.begin(), imageSendStartFrame.end());
const std::vector<uint8_t> RECEIVE_START(imageReceiveStartFrame.begin(), imageReceiveStartFrame.end());

// Bytes the PC sent after a transfer are only poll frames of the restarted
// poll worker: four bytes each, STX first.
bool OnlyPollFrames(const std::vector<uint8_t>& bytes, size_t from)
{
    for (size_t i = from; i < bytes.size(); i += 4) {
        if (bytes.size() - i < 4 || bytes[i] != STX || (bytes[i + 1] != CMD_LCD && bytes[i + 1] != CMD_STATUS)) {
            return false;
        }
    }
    return true;
}

// A radio that answers polls but never takes part in a transfer.
FakeRadio::Options NeverReady()
{
    FakeRadio::Options o;
    o.neverReady = true;
    o.noReply = true;
    return o;
}

// A radio with a 20-record image that falls silent for good after `sent`
// bytes of it (at once: 0).
FakeRadio::Options SilentAfter(size_t sent)
{
    FakeRadio::Options o;
    o.image = PatternBytes(2640);
    o.noReply = sent == 0;
    if (sent < o.image.size()) {
        o.pauseAt = sent;
        o.pauseMs = 60000;
    }
    return o;
}

// One receive into "in.bin" of a scratch folder of its own, from a radio
// that falls silent after `sent` bytes.
struct SilentReceive {
    explicit SilentReceive(size_t sent) : options(SilentAfter(sent)), radio(options)
    {
        transfer.SetProgressStream(nullptr);
        attached = radio.Attach(link);
    }
    ScratchDir here;
    ImageTransfer transfer;
    RadioLink link;
    const FakeRadio::Options options;
    FakeRadio radio;
    bool attached = false;
    const std::string chosen = here.File("in.bin");
};

// Opens a two-record file to send, or a fresh file to receive into.
std::string OpenEither(ImageTransfer& t, TransferKind kind, const ScratchDir& dir)
{
    return kind == TransferKind::Send ? t.OpenForSending(dir.Write("out.bin", PatternBytes(264)))
                                      : t.OpenForReceiving(dir.File("in.bin"));
}

class TransferTest : public ::testing::Test {
protected:
    void TearDown() override
    {
        link.StopWorker();
        (void)std::fclose(progress); // a scratch file of the test's own
    }

    // Brings the link up on a fake radio, as START leaves it.
    void Connect(FakeRadio::Options options)
    {
        radio = std::make_unique<FakeRadio>(std::move(options));
        ASSERT_TRUE(radio->Attach(link));
    }

    std::FILE* progress = std::tmpfile();
    ScratchDir dir;
    ImageTransfer transfer;
    std::unique_ptr<FakeRadio> radio;
    // The tick wraps 400 ms into the first transfer, in the middle of every
    // receive's data and between its first and second flow bytes.
    WrapClock clock{400};
    RadioLink link{clock};

    void SetUp() override { transfer.SetProgressStream(progress); }

    std::string ProgressText()
    {
        (void)std::fflush(progress); // a failure shows as text missing below
        std::rewind(progress);
        std::string text;
        char chunk[256];
        size_t n = 0;
        while ((n = std::fread(chunk, 1, sizeof chunk, progress)) > 0) {
            text.append(chunk, n);
        }
        return text;
    }
};

// ---- Opening an image file ----------------------------------------------

TEST_F(TransferTest, SendFileSizesAndNamesAreCheckedBeforeAnythingStarts)
{
    struct Case {
        const char* name;
        size_t size;
        std::string refusal; // how the message begins; empty when the file is accepted
        int records;
    };
    const auto odd = [](int size) {
        return "Invalid input file size: " + std::to_string(size) + "\nA memory image is made of whole records of 132 "
               "bytes, which " + std::to_string(size) + " bytes are not: choose an image received from the radio.";
    };
    const std::string kept = "This file holds what was kept of a receive that did not end whole:\n";
    const Case cases[] = {
        {"image.bin", 132, "", 1}, {"image.bin", 264, "", 2}, {"image.bin", 2640, "", 20},
        {"image.bin", 133, odd(133), 0}, {"image.bin", 131, odd(131), 0},
        {"image.bin", 0, "The file holds no records:\n", 0},
        // What a receive keeps, under today's names and those of earlier
        // versions, whole records or not; names that only look alike are sent.
        {"in.bin.partial", 264, kept, 0}, {"in.bin.partial-3", 264, kept, 0}, {"in.partial", 264, kept, 0},
        {"backup1.partial.bin", 264, kept, 0}, {"backup1.partial-12.bin", 264, kept, 0},
        {"partial.bin", 264, "", 2}, {"my.partials.bin", 264, "", 2}, {"in.bin.partial-", 264, "", 2},
        {"in.partial-x.bin", 264, "", 2}, {".partial", 264, "", 2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.name) + " " + std::to_string(c.size));
        ImageTransfer t;
        const std::string message = t.OpenForSending(dir.Write(c.name, PatternBytes(c.size)));
        EXPECT_EQ(message.rfind(c.refusal, 0), 0u) << message;
        EXPECT_EQ(message.empty(), c.refusal.empty()) << message;
        EXPECT_EQ(t.Active(), message.empty());
        if (message.empty()) {
            EXPECT_EQ(t.recordsTotal.load(), c.records);
            EXPECT_EQ(t.imageBytesLeft, static_cast<int32_t>(c.size));
            EXPECT_EQ(std::ftell(t.imageFile), 0L);
        }
    }
}

// The system's line names the file; the next says why in words, and for a
// receive, which creates a new file beside the one chosen, names the folder.
TEST_F(TransferTest, FilesThatCannotBeOpenedAreNamedInTheMessageWithTheReason)
{
    const std::string missing = dir.File("no such.bin");
    EXPECT_EQ(transfer.OpenForSending(missing),
              "Unable to open file:\n" + missing + "\nfor reading\nThere is no such file.");
    EXPECT_EQ(transfer.OpenForSending(dir.Path()),
              "Unable to open file:\n" + dir.Path() + "\nfor reading\nIt is a folder, not a file.");
    const std::string unwritable = dir.File("missing dir/out.bin");
    EXPECT_EQ(transfer.OpenForReceiving(unwritable), "Unable to open file:\n" + unwritable +
                                                         "\nfor writing\nThe folder " + dir.File("missing dir") +
                                                         " does not exist.");
    const std::string underFile = dir.Write("plain.bin", PatternBytes(132)) + "/out.bin";
    EXPECT_EQ(transfer.OpenForReceiving(underFile),
              "Unable to open file:\n" + underFile + "\nfor writing\nA part of its path is no folder.");
    EXPECT_FALSE(transfer.Active());
}

TEST_F(TransferTest, FilesOfTwoGibibytesOrMoreAreRefusedInsteadOfWrapping)
{
    // 2^32 + 132 would be a count of 132 in 32 bits: one record of a huge file.
    for (const off_t size : {off_t{1} << 31, (off_t{1} << 32) + 132}) {
        SCOPED_TRACE(size);
        const std::string file = dir.File("huge.bin");
        const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(::ftruncate(fd, size), 0);
        ::close(fd);
        const std::string message = transfer.OpenForSending(file);
        EXPECT_NE(message.find("too large"), std::string::npos) << message;
        EXPECT_NE(message.find(std::to_string(size)), std::string::npos) << message;
        EXPECT_FALSE(transfer.Active());
    }
}

TEST_F(TransferTest, ASecondTransferCannotReplaceTheRunningOnesStream)
{
    const std::string sending = dir.Write("sending.bin", PatternBytes(264));
    ASSERT_EQ(transfer.OpenForSending(sending), "");
    std::FILE* running = transfer.imageFile;
    // Receiving into the very file being sent would empty it.
    EXPECT_NE(transfer.OpenForReceiving(sending), "");
    EXPECT_NE(transfer.OpenForSending(sending), "");
    EXPECT_EQ(transfer.imageFile, running);
    EXPECT_EQ(transfer.imageBytesLeft, 264);
    EXPECT_EQ(ReadFileBytes(sending).size(), 264u);
}

// ---- Sending to the radio ---------------------------------------------------

TEST_F(TransferTest, AShortSendIsTakenDownOnTheFirstTickAndPollingComesBack)
{
    Connect({});
    ASSERT_EQ(transfer.OpenForSending(dir.Write("one.bin", PatternBytes(132))), "");
    ASSERT_TRUE(transfer.Start(link));
    ASSERT_TRUE(WaitUntil([&] { return link.WorkerEnded(); }, 1000));
    const auto ended = Steady::now();
    // One tick of the transfer timer takes it down and puts polling back.
    const TransferReport report = SuperviseUntilEnded(link, transfer, 500);
    EXPECT_TRUE(report.ended);
    EXPECT_TRUE(report.pollingRestarted);
    EXPECT_EQ(report.outcome, TransferOutcome::Completed);
    EXPECT_EQ(report.message, "");
    EXPECT_FALSE(transfer.Active());
    ASSERT_TRUE(WaitUntil([&] { return radio->PollsSeen() > 0; }, 1000));
    EXPECT_LT(MsBetween(ended, Steady::now()), 300);
    const auto heard = radio->Heard();
    ASSERT_GE(heard.size(), SEND_START.size());
    EXPECT_EQ(std::vector<uint8_t>(heard.begin(), heard.begin() + 5), SEND_START);
}

TEST_F(TransferTest, RecordsFollowTheReadyByteTwentyMillisecondsApart)
{
    struct Case {
        std::vector<uint8_t> junk;
        size_t size;
    };
    // Bytes before 0x45, which come well before it, are dropped one by one:
    // no record goes before the radio is ready, and the image is not shifted.
    const Case cases[] = {{{}, 264}, {{0x00, 0x06}, 264}, {{0x06, 0x00, 0x13, 0x02}, 132 * 5}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.junk.size());
        ImageTransfer t;
        RadioLink l;
        FakeRadio::Options options;
        options.readyJunk = c.junk;
        options.readyDelayMs = 50;
        FakeRadio r(options);
        ASSERT_TRUE(r.Attach(l));
        const auto image = PatternBytes(c.size);
        ASSERT_EQ(t.OpenForSending(dir.Write("image.bin", image)), "");
        ASSERT_TRUE(t.Start(l));
        const TransferReport report = SuperviseUntilEnded(l, t, 3000);
        ASSERT_TRUE(report.ended);
        EXPECT_EQ(report.outcome, TransferOutcome::Completed);
        EXPECT_EQ(t.recordsSent.load(), static_cast<int32_t>(c.size / 132));
        ASSERT_TRUE(WaitUntil([&] { return r.ImageReceived().size() >= c.size; }, 1000));
        EXPECT_EQ(r.BytesBeforeReady(), 0u) << "a record went before the ready byte";
        const auto received = r.ImageReceived();
        EXPECT_EQ(std::vector<uint8_t>(received.begin(), received.begin() + static_cast<long>(c.size)), image);
        EXPECT_TRUE(OnlyPollFrames(received, c.size));
        // Measured from the ready byte, which the radio itself put on the
        // line: a record can only arrive late, never early, so a loaded
        // machine that reads one record late cannot make the pause look short.
        const auto times = r.ImageTimes();
        const auto ready = r.ReadySent();
        for (size_t k = 132; k < c.size; k += 132) {
            EXPECT_GE(MsBetween(ready, times[k]), static_cast<int64_t>(19 * (k / 132))) << "record " << k / 132;
            EXPECT_LT(MsBetween(times[k - 132], times[k]), 200) << "record " << k / 132;
        }
        l.StopWorker();
    }
}

TEST_F(TransferTest, ARefusedFileSendsNothing)
{
    Connect({});
    EXPECT_EQ(transfer.OpenForSending(dir.Write("odd.bin", PatternBytes(133))).rfind("Invalid input file size: 133\n", 0),
              0u);
    EXPECT_FALSE(transfer.Start(link));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_TRUE(radio->Heard().empty());
    EXPECT_FALSE(link.HasWorker());
}

TEST_F(TransferTest, ARadioThatStopsTakingDataEndsTheSendWithAMessage)
{
    // The line fills within moments when nothing paces the writer; then each
    // record has 5000 ms to find room before the send is given up.
    FastClock fast;
    RadioLink quick(fast);
    ImageTransfer t;
    FakeRadio::Options options;
    options.stopReadingAfterReady = true;
    FakeRadio r(options);
    ASSERT_TRUE(r.Attach(quick));
    ASSERT_EQ(t.OpenForSending(dir.Write("big.bin", PatternBytes(132 * 3000))), "");
    ASSERT_TRUE(t.Start(quick));
    const TransferReport report = SuperviseUntilEnded(quick, t, 15000);
    ASSERT_TRUE(report.ended);
    quick.StopWorkerThread();
    EXPECT_EQ(report.outcome, TransferOutcome::RadioNotTaking);
    EXPECT_LT(t.recordsSent.load(), 3000);
    EXPECT_NE(report.message.find(std::to_string(t.recordsSent.load()) + " of 3000 records"), std::string::npos)
        << report.message;
    // What went is what the radio finds once it reads the line again: every
    // record counted, and no more than the start of the one that found no room.
    r.ResumeReading();
    size_t heard = 0;
    ASSERT_TRUE(WaitUntil(
        [&] {
            const size_t before = heard;
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            heard = r.Heard().size();
            return heard == before && heard > 0;
        },
        5000));
    const size_t imageBytes = heard - SEND_START.size();
    EXPECT_EQ(static_cast<size_t>(t.recordsSent.load()), imageBytes / 132)
        << imageBytes << " bytes of the image reached the line";
    quick.StopWorker();
}

// ---- Receiving from the radio ---------------------------------------------

TEST_F(TransferTest, TwentyRecordsAreStoredExactlyAndTheEndFollowsTheSilence)
{
    FakeRadio::Options options;
    options.image = PatternBytes(2640);
    Connect(options);
    const std::string file = dir.File("in.bin");
    ASSERT_EQ(transfer.OpenForReceiving(file), "");
    ASSERT_TRUE(transfer.Start(link));
    ASSERT_TRUE(WaitUntil([&] { return link.WorkerEnded(); }, 4000));
    const auto ended = Steady::now();
    const int64_t silence = MsBetween(radio->LastImageByteSent(), ended);
    EXPECT_GE(silence, 499); // whole milliseconds on both sides of the measure
    EXPECT_LT(silence, 800);
    const TransferReport report = SuperviseUntilEnded(link, transfer, 500);
    EXPECT_EQ(report.outcome, TransferOutcome::Completed);
    EXPECT_EQ(report.message, "");
    EXPECT_TRUE(report.pollingRestarted);
    EXPECT_EQ(ReadFileBytes(file), options.image);
    EXPECT_EQ(transfer.bytesReceived.load(), 2640);
    // The running total overwrites itself in place, six characters wide, and
    // its line is ended when the receive ends.
    const std::string shown = ProgressText();
    EXPECT_EQ(shown.substr(shown.size() - 8), "\r  2640\n");
    EXPECT_EQ(shown.size() % 7, 1u);
    const auto heard = radio->Heard();
    ASSERT_GE(heard.size(), 6u);
    EXPECT_EQ(std::vector<uint8_t>(heard.begin(), heard.begin() + 5), RECEIVE_START);
    EXPECT_EQ(heard[5], FLOW_BYTE);
}

TEST_F(TransferTest, APauseInsideTheImageEndsItOnlyWhenLongerThanHalfASecond)
{
    struct Case {
        int pauseMs;
        size_t stored;
    };
    const Case cases[] = {{400, 2640}, {650, 1320}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.pauseMs);
        ImageTransfer t;
        t.SetProgressStream(nullptr);
        RadioLink l;
        FakeRadio::Options options;
        options.image = PatternBytes(2640);
        options.pauseAt = 1320;
        options.pauseMs = c.pauseMs;
        FakeRadio r(options);
        ASSERT_TRUE(r.Attach(l));
        const std::string file = dir.File("paused" + std::to_string(c.pauseMs) + ".bin");
        ASSERT_EQ(t.OpenForReceiving(file), "");
        ASSERT_TRUE(t.Start(l));
        const TransferReport report = SuperviseUntilEnded(l, t, 5000);
        EXPECT_EQ(report.outcome, TransferOutcome::Completed);
        const auto stored = ReadFileBytes(file);
        EXPECT_EQ(stored, std::vector<uint8_t>(options.image.begin(), options.image.begin() + static_cast<long>(c.stored)));
        l.StopWorker();
    }
}

TEST_F(TransferTest, BytesWaitingBeforeTheRequestNeverReachTheFile)
{
    FakeRadio::Options options;
    options.image = PatternBytes(264);
    Connect(options);
    // The tail of a poll reply, still on the line when the receive begins.
    radio->Inject({0x11, 0x22, 0x03, 0x99, 0x45});
    ASSERT_TRUE(WaitUntil([&] { return link.Port().BytesWaiting() == 5; }, 500));
    const std::string file = dir.File("clean.bin");
    ASSERT_EQ(transfer.OpenForReceiving(file), "");
    ASSERT_TRUE(transfer.Start(link));
    const TransferReport report = SuperviseUntilEnded(link, transfer, 4000);
    EXPECT_EQ(report.outcome, TransferOutcome::Completed);
    EXPECT_EQ(ReadFileBytes(file), options.image);
}

TEST_F(TransferTest, AFileThatRefusesWritesEndsTheReceiveAndTellsTheUser)
{
    FakeRadio::Options options;
    options.image = PatternBytes(2640);
    Connect(options);
    // Every write to /dev/full fails with ENOSPC, like a full disk.
    ASSERT_EQ(transfer.OpenForReceiving("/dev/full"), "");
    ASSERT_TRUE(transfer.Start(link));
    const TransferReport report = SuperviseUntilEnded(link, transfer, 4000);
    ASSERT_TRUE(report.ended);
    EXPECT_EQ(report.outcome, TransferOutcome::FileWriteFailed);
    EXPECT_NE(report.message.find("Unable to write to file:\n/dev/full\n"), std::string::npos) << report.message;
    EXPECT_NE(report.message.find(std::strerror(ENOSPC)), std::string::npos) << report.message;
    EXPECT_NE(report.message.find("incomplete"), std::string::npos);
    EXPECT_TRUE(report.pollingRestarted);
    EXPECT_FALSE(transfer.Active());
}

TEST_F(TransferTest, ARadioThatVanishesEndsTheTransferWithoutAStop)
{
    for (const TransferKind kind : {TransferKind::Send, TransferKind::Receive}) {
        SCOPED_TRACE(static_cast<int>(kind));
        ImageTransfer t;
        RadioLink l;
        FakeRadio r(NeverReady());
        ASSERT_TRUE(r.Attach(l));
        ASSERT_EQ(OpenEither(t, kind, dir), "");
        ASSERT_TRUE(t.Start(l));
        std::this_thread::sleep_for(std::chrono::milliseconds(400));
        r.Vanish();
        const TransferReport report = SuperviseUntilEnded(l, t, 2000);
        ASSERT_TRUE(report.ended);
        EXPECT_EQ(report.outcome, TransferOutcome::LinkLost);
        EXPECT_NE(report.message.find("connection to the radio was lost"), std::string::npos);
        l.StopWorker();
    }
}

// ---- The display during and after a transfer -------------------------------

TEST_F(TransferTest, TheBannerReplacesDisplayAndStatusWhileTheTransferRuns)
{
    struct Case {
        TransferKind kind;
        std::string_view row1;
        std::string_view row2;
    };
    const Case cases[] = {{TransferKind::Send, "Sending from PC ", "    to radio    "},
                          {TransferKind::Receive, "Receiving to PC ", "   from radio   "}};
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.row1));
        ImageTransfer t;
        t.SetProgressStream(nullptr);
        RadioLink l;
        FakeRadio r(NeverReady());
        ASSERT_TRUE(r.Attach(l));
        l.StartWorker(PollWorker);
        ASSERT_TRUE(WaitUntil([&] { return l.StatusValid() && l.LcdValid(); }, 1000));
        ASSERT_EQ(OpenEither(t, c.kind, dir), "");
        ASSERT_TRUE(t.Start(l));
        const uint64_t repliesAtStart = l.Stats().statusRepliesStored + l.Stats().lcdRepliesStored;
        for (int look = 0; look < 3; ++look) {
            const PanelSnapshot shown = l.Snapshot();
            EXPECT_TRUE(shown.lcd.lcdValid);
            EXPECT_FALSE(shown.status.statusValid);
            EXPECT_EQ(shown.lcd.iconFlagsA, 0);
            EXPECT_EQ(shown.lcd.iconFlagsB, 0);
            EXPECT_EQ(RowText(shown.lcd, 0), c.row1);
            EXPECT_EQ(RowText(shown.lcd, 1), c.row2);
            EXPECT_EQ(RowText(shown.lcd, 2), std::string(16, ' '));
            EXPECT_EQ(RowText(shown.lcd, 3), std::string(16, ' '));
            std::this_thread::sleep_for(std::chrono::milliseconds(150));
        }
        EXPECT_EQ(l.Stats().statusRepliesStored + l.Stats().lcdRepliesStored, repliesAtStart);
        t.Stop(l);
        l.StopWorker();
    }
}

TEST_F(TransferTest, WithLcdPollsOffTheBannerOutlivesTheTransfer)
{
    Connect({});
    link.SetLcdPolls(0);
    ASSERT_EQ(transfer.OpenForSending(dir.Write("one.bin", PatternBytes(132))), "");
    ASSERT_TRUE(transfer.Start(link));
    ASSERT_TRUE(SuperviseUntilEnded(link, transfer, 1000).pollingRestarted);
    // The status panel recovers with the first status reply; the LCD keeps the banner.
    ASSERT_TRUE(WaitUntil([&] { return link.StatusValid(); }, 1000));
    const PanelSnapshot shown = link.Snapshot();
    EXPECT_EQ(RowText(shown.lcd, 0), "Sending from PC ");
    EXPECT_EQ(RowText(shown.lcd, 1), "    to radio    ");
    EXPECT_EQ(link.Stats().lcdPollsSent, 0u);
}

// ---- STOP and Exit during a transfer ----------------------------------------

struct StopCase {
    const char* name;
    TransferKind kind;
    FakeRadio::Options options;
    bool fastClock;
};

class StopDuringTransfer : public ::testing::TestWithParam<StopCase> {};

TEST_P(StopDuringTransfer, ReturnsWithinBoundsAndClosesTheStreamOnce)
{
    const StopCase& c = GetParam();
    FastClock fast;
    ImageTransfer t;
    t.SetProgressStream(nullptr);
    RadioLink l(c.fastClock ? static_cast<Clock&>(fast) : SystemClock());
    FakeRadio r(c.options);
    ASSERT_TRUE(r.Attach(l));
    auto stream = std::make_shared<CountedStream>();
    if (c.kind == TransferKind::Send) {
        stream->data = PatternBytes(132 * 3000);
        ASSERT_EQ(t.BeginSend(OpenCounted(stream, "rb"), "counted.bin"), "");
    } else {
        ASSERT_EQ(t.BeginReceive(OpenCounted(stream, "wb"), "counted.bin"), "");
    }
    ASSERT_TRUE(t.Start(l));
    // Long enough for the worker to sit in its slowest wait.
    std::this_thread::sleep_for(std::chrono::milliseconds(1200));
    ASSERT_FALSE(l.WorkerEnded());

    const auto before = Steady::now();
    const TransferReport report = t.Stop(l);
    l.StopWorker();
    EXPECT_LT(MsBetween(before, Steady::now()), 300);

    EXPECT_EQ(report.outcome, TransferOutcome::Stopped);
    EXPECT_FALSE(l.Running());
    EXPECT_FALSE(l.Port().IsOpen());
    EXPECT_FALSE(t.Active());
    // The timer may still tick, and the window goes away later: neither
    // closes the stream again nor brings polling back on a stopped link.
    EXPECT_FALSE(t.Stop(l).pollingRestarted);
    EXPECT_FALSE(t.Supervise(l).pollingRestarted);
    EXPECT_FALSE(l.HasWorker());
    EXPECT_EQ(stream->closes, 1);
    if (c.kind == TransferKind::Send) {
        EXPECT_NE(report.message.find("Sending was stopped: " + std::to_string(t.recordsSent.load()) + " of 3000"),
                  std::string::npos)
            << report.message;
        // Once the radio was ready it holds part of an image, and is to be told so.
        const bool ready = !c.options.neverReady;
        EXPECT_EQ(report.message.find("\nThe radio now holds only part of an image: send it a whole image again "
                                      "before you use it.") != std::string::npos,
                  ready)
            << report.message;
    } else {
        EXPECT_NE(report.message.find(t.bytesReceived == 0 ? "the radio sent nothing" : "incomplete"),
                  std::string::npos)
            << report.message;
        EXPECT_EQ(stream->data.size(), static_cast<size_t>(t.bytesReceived.load()));
    }
}

FakeRadio::Options FillsTheLine()
{
    FakeRadio::Options o;
    o.stopReadingAfterReady = true;
    return o;
}

INSTANTIATE_TEST_SUITE_P(Transfer, StopDuringTransfer,
                         ::testing::Values(StopCase{"SendNeverReady", TransferKind::Send, NeverReady(), false},
                                           StopCase{"SendLineFull", TransferKind::Send, FillsTheLine(), true},
                                           StopCase{"ReceiveNoReply", TransferKind::Receive, NeverReady(), false}),
                         [](const auto& info) { return std::string(info.param.name); });

// A receive leaves the file it is to replace alone until the image is whole:
// one that ends badly keeps the old file as it was and the bytes that came in
// a new file beside it, named in the message; one that ends well replaces the
// old file (through a symbolic link, the file the link names). A file that
// happens to bear the new file's name is never touched.
TEST_F(TransferTest, AReceiveReplacesTheOldFileOnlyWhenItEndsWell)
{
    enum class End { Whole, Stop, Cancel, Vanish };
    struct Case {
        const char* name;
        End end;
        size_t sent;       // bytes the radio sends before it falls silent for good
        bool nameTaken;    // "in.bin.partial" exists already and is no part of this
        bool throughLink;  // "in.bin" is a symbolic link to the old file
        TransferOutcome outcome;
        std::string says;
    };
    const std::string kept = " bytes were received; they are kept in:\n";
    const Case cases[] = {
        {"whole", End::Whole, 2640, true, false, TransferOutcome::Completed, ""},
        {"whole through a link", End::Whole, 2640, false, true, TransferOutcome::Completed, ""},
        {"stopped", End::Stop, 264, false, false, TransferOutcome::Stopped,
         "Receiving was stopped: the image is incomplete.\n264" + kept},
        {"cancelled", End::Cancel, 396, true, false, TransferOutcome::Cancelled,
         "Receiving was cancelled: the image is incomplete.\n396" + kept},
        {"cancelled through a link", End::Cancel, 132, false, true, TransferOutcome::Cancelled,
         "Receiving was cancelled: the image is incomplete.\n132" + kept},
        {"pulled", End::Vanish, 264, false, false, TransferOutcome::LinkLost,
         "The connection to the radio was lost: the image is incomplete.\n264" + kept},
        {"silent", End::Cancel, 0, false, false, TransferOutcome::Cancelled,
         "Receiving was cancelled: the radio sent nothing.\nIs it switched on, connected and in PC/IF mode?"},
    };
    const auto old = PatternBytes(660, 99);
    const std::vector<uint8_t> unrelated{1, 2, 3};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SilentReceive receive(c.sent);
        ASSERT_TRUE(receive.attached);
        auto& [here, t, l, options, r, attached, chosen] = receive;
        const std::string oldFile = c.throughLink ? here.Write("kept elsewhere.bin", old) : here.Write("in.bin", old);
        if (c.throughLink) {
            ASSERT_EQ(::symlink(oldFile.c_str(), chosen.c_str()), 0);
        }
        if (c.nameTaken) {
            here.Write("in.bin.partial", unrelated);
        }

        ASSERT_EQ(t.OpenForReceiving(chosen), "");
        EXPECT_EQ(ReadFileBytes(chosen), old) << "emptied before anything came";
        ASSERT_TRUE(t.Start(l));
        if (c.sent > 0 && c.end != End::Whole) {
            ASSERT_TRUE(WaitUntil([&tr = t, &c] { return tr.bytesReceived.load() == static_cast<int32_t>(c.sent); }, 3000));
        } else if (c.sent == 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(900));
        }
        TransferReport report;
        switch (c.end) {
        case End::Whole: report = SuperviseUntilEnded(l, t, 5000); break;
        case End::Stop:
            l.StopWorker(); // the STOP of a window that does not call into the transfer first
            report = t.Supervise(l);
            break;
        case End::Cancel: report = t.Cancel(l); break;
        case End::Vanish:
            r.Vanish();
            report = SuperviseUntilEnded(l, t, 3000);
            break;
        }
        l.StopWorker();
        ASSERT_TRUE(report.ended);
        EXPECT_EQ(report.outcome, c.outcome);
        EXPECT_NE(report.message.find(c.says), std::string::npos) << report.message;
        if (c.nameTaken) {
            EXPECT_EQ(ReadFileBytes(here.File("in.bin.partial")), unrelated);
        }
        EXPECT_EQ(::access(chosen.c_str(), F_OK) == 0 && c.throughLink,
                  std::filesystem::is_symlink(std::filesystem::symlink_status(chosen)));
        size_t files = 1 + (c.throughLink ? 1 : 0) + (c.nameTaken ? 1 : 0);
        if (c.end == End::Whole) {
            EXPECT_EQ(ReadFileBytes(chosen), options.image);
            EXPECT_EQ(report.message, "");
            EXPECT_EQ(report.summary, "20 records (2640 bytes) were received into:\n" + chosen);
            EXPECT_EQ(report.keptPath, "");
        } else {
            EXPECT_EQ(ReadFileBytes(oldFile), old);
            EXPECT_NE(report.message.find("\nThe existing file was left as it was:\n" + chosen), std::string::npos)
                << report.message;
            if (c.sent > 0) {
                ++files;
                EXPECT_NE(report.message.find(kept + report.keptPath), std::string::npos) << report.message;
                // Beside the file that stays, whose name it bears.
                const char* name = c.throughLink ? "/kept elsewhere.bin.partial"
                                   : c.nameTaken ? "/in.bin.partial-2"
                                                 : "/in.bin.partial";
                EXPECT_NE(report.keptPath.find(name), std::string::npos)
                    << report.keptPath;
                EXPECT_EQ(ReadFileBytes(report.keptPath),
                          std::vector<uint8_t>(options.image.begin(), options.image.begin() + static_cast<long>(c.sent)));
            } else {
                EXPECT_EQ(report.keptPath, "");
            }
        }
        EXPECT_EQ(std::distance(std::filesystem::directory_iterator(here.Path()), {}), static_cast<long>(files));
    }
}

TEST_F(TransferTest, StartRightAfterStopStillTakesTheStoppedTransferDown)
{
    auto stream = std::make_shared<CountedStream>();
    Connect(NeverReady());
    ASSERT_EQ(transfer.BeginReceive(OpenCounted(stream, "wb"), "counted.bin"), "");
    ASSERT_TRUE(transfer.Start(link));
    std::this_thread::sleep_for(std::chrono::milliseconds(400));
    link.StopWorker();
    // START comes before the transfer timer's next tick.
    ASSERT_TRUE(radio->Attach(link));
    link.StartWorker(PollWorker);
    const TransferReport report = transfer.Supervise(link);
    EXPECT_TRUE(report.ended);
    EXPECT_EQ(report.outcome, TransferOutcome::Stopped);
    EXPECT_FALSE(transfer.Active());
    EXPECT_EQ(stream->closes, 1);
    const int before = radio->PollsSeen();
    EXPECT_TRUE(WaitUntil([&] { return radio->PollsSeen() > before + 2; }, 1000));
}

// The radio's silence ends a receive, also a pause or a radio stopped half
// way: what came takes the chosen file's place only as whole records, and no
// fewer of them than the file holds unless the user says so.
TEST_F(TransferTest, ASilenceEndedReceiveReplacesTheFileOnlyWithWholeRecordsAndNoFewer)
{
    struct Case {
        const char* name;
        size_t sent;    // bytes before the radio falls silent
        size_t oldSize; // of the chosen file; 0: there is none
        TransferOutcome outcome;
        std::string says; // how the message begins
    };
    const Case cases[] = {
        {"part of a record", 1000, 660, TransferOutcome::NotWhole,
         "The image did not come whole: the radio fell silent after 1000 bytes, which is no whole number of 132-byte "
         "records.\nThey are kept in:\n"},
        {"less than a record", 100, 0, TransferOutcome::NotWhole, "The image did not come whole: "},
        {"fewer records", 264, 660, TransferOutcome::FewerRecords, "The radio sent 2 records, fewer than the 5 that\n"},
        {"as many records", 660, 660, TransferOutcome::Completed, ""},
        {"a new file", 264, 0, TransferOutcome::Completed, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SilentReceive receive(c.sent);
        ASSERT_TRUE(receive.attached);
        auto& [here, t, l, options, r, attached, chosen] = receive;
        const auto old = PatternBytes(c.oldSize, 99);
        if (c.oldSize > 0) {
            here.Write("in.bin", old);
        }
        ASSERT_EQ(t.OpenForReceiving(chosen), "");
        ASSERT_TRUE(t.Start(l));
        const TransferReport report = SuperviseUntilEnded(l, t, 4000);
        l.StopWorker();
        ASSERT_TRUE(report.ended);
        EXPECT_EQ(report.outcome, c.outcome);
        EXPECT_EQ(report.message.rfind(c.says, 0), 0u) << report.message;
        const std::vector<uint8_t> came(options.image.begin(), options.image.begin() + static_cast<long>(c.sent));
        if (c.outcome == TransferOutcome::Completed) {
            EXPECT_EQ(ReadFileBytes(chosen), came);
            EXPECT_EQ(report.radioRecords, static_cast<int32_t>(c.sent / 132));
            EXPECT_EQ(report.keptPath, "");
            continue;
        }
        // The chosen file is as it was (or still absent); what came is beside it.
        EXPECT_EQ(ReadFileBytes(chosen), old);
        EXPECT_EQ(::access(chosen.c_str(), F_OK) == 0, c.oldSize > 0);
        EXPECT_EQ(report.keptPath, chosen + ".partial");
        EXPECT_EQ(ReadFileBytes(report.keptPath), came);
        EXPECT_NE(report.message.find(report.keptPath), std::string::npos) << report.message;
        EXPECT_EQ(report.radioRecords, 0);
        if (c.outcome != TransferOutcome::FewerRecords) {
            EXPECT_EQ(t.ReplaceWithReceived().radioRecords, 0);
            EXPECT_EQ(ReadFileBytes(chosen), old) << "only fewer whole records wait for a yes";
            continue;
        }
        EXPECT_EQ(t.ReplaceQuestion(), "The radio sent 2 records, fewer than the 5 that\n" + chosen +
                                           "\nholds now.\nReplace that file with the 2 records received?");
        const TransferReport replaced = t.ReplaceWithReceived();
        EXPECT_EQ(replaced.outcome, TransferOutcome::Completed);
        EXPECT_EQ(replaced.summary, "2 records (264 bytes) were received into:\n" + chosen);
        EXPECT_EQ(replaced.radioRecords, 2);
        EXPECT_EQ(ReadFileBytes(chosen), came);
        EXPECT_NE(::access(report.keptPath.c_str(), F_OK), 0);
        EXPECT_EQ(t.ReplaceWithReceived().radioRecords, 0) << "a second yes finds nothing to settle";
    }
}

// The question before a send names its records and the time it will take,
// and the records the radio's image last had where the file has more: a
// 132 MB file of 1 000 000 records is no backup of a radio that sent 200.
TEST_F(TransferTest, TheSendQuestionGivesTheTimeAndMoreRecordsThanTheRadioHad)
{
    const std::string had = "\nThe radio's image had only ";
    const std::tuple<off_t, int32_t, std::string> cases[] = {
        {3, 3, ""},
        {3, 2, had + "2 records when it was last received."},
        {200, 1, had + "1 record when it was last received.\nSending takes about 4 seconds."},
        {3000, 0, "\nSending takes about 1 minute."},
        {1000000, 200, had + "200 records when it was last received.\nSending takes about 5 hours 50 minutes."},
    };
    for (const auto& [records, radioHad, ends] : cases) {
        SCOPED_TRACE(records);
        const std::string file = dir.Write("image.bin", {});
        std::filesystem::resize_file(file, static_cast<uintmax_t>(records) * 132);
        ImageTransfer t;
        ASSERT_EQ(t.OpenForSending(file), "");
        t.SetRadioRecords(radioHad);
        std::string question = "Send the " + std::to_string(records) + " records of\n";
        question += file;
        question += "\nto the radio?\nThey replace everything the radio's memory holds now.";
        question += ends;
        question += records == 3 ? "\nSending takes about 1 second." : "";
        EXPECT_EQ(t.SendQuestion(), question);
    }
}

// The count lives in the store beside the settings file, a line among the
// window's own, which stay as they were; nothing else counts as a count.
TEST_F(TransferTest, TheRadiosRecordsAreRememberedInTheStoreBesideTheOtherLines)
{
    const std::string store = dir.File("Ostrelle.ini");
    const std::string others = "[Folders]\r\nImages=/home/a/[Radio]\r\n\r\n[Radio]\r\nName = x\r\n";
    dir.Write("Ostrelle.ini", std::vector<uint8_t>(others.begin(), others.end()));
    ASSERT_TRUE(RememberRadioRecords(store, 7));
    ASSERT_TRUE(RememberRadioRecords(store, 12));
    const auto text = ReadFileBytes(store);
    EXPECT_EQ(std::string(text.begin(), text.end()),
              "[Folders]\r\nImages=/home/a/[Radio]\r\n\r\n[Radio]\r\nImageRecords=12\r\nName = x\r\n");
    EXPECT_EQ(RememberedRadioRecords(store), 12);
    struct stat info {};
    EXPECT_TRUE(::stat(store.c_str(), &info) == 0 && (info.st_mode & 0777) == 0600) << std::oct << info.st_mode;
    for (const std::string text : {"[Radio]\nImageRecords=0\n", "[Radio]\nImageRecords=12x\n",
                                   "[Radio]\nImageRecords=16268816\n", "[Radio]\n[Other]\nImageRecords=9\n"}) {
        dir.Write("Ostrelle.ini", std::vector<uint8_t>(text.begin(), text.end()));
        EXPECT_EQ(RememberedRadioRecords(store), 0) << text;
    }
    // A FIFO in its place is neither waited on nor replaced.
    ASSERT_EQ(::unlink(store.c_str()), 0);
    ASSERT_EQ(::mkfifo(store.c_str(), 0600), 0);
    EXPECT_EQ(RememberedRadioRecords(store), 0);
    EXPECT_FALSE(RememberRadioRecords(store, 5));
    EXPECT_TRUE(std::filesystem::is_fifo(store));
}

TEST_F(TransferTest, FlowBytesKeepComingEveryHalfSecondBeforeAnyData)
{
    Connect(NeverReady());
    ASSERT_EQ(transfer.OpenForReceiving(dir.File("in.bin")), "");
    ASSERT_TRUE(transfer.Start(link));
    // Settle (300 ms), then 0x45 at 0, 500, 1000 and 1500 ms.
    std::this_thread::sleep_for(std::chrono::milliseconds(2000));
    EXPECT_EQ(radio->FlowBytesDuringReceive(), 4);
    transfer.Stop(link);
}

} // namespace

TEST_F(TransferTest, CancelEndsTheTransferOnceAndPutsPollingBack)
{
    struct Case {
        const char* name;
        TransferKind kind;
        bool finishFirst; // the worker has reached its own end before Cancel
        TransferOutcome outcome;
    };
    const Case cases[] = {
        {"send", TransferKind::Send, false, TransferOutcome::Cancelled},
        {"receive", TransferKind::Receive, false, TransferOutcome::Cancelled},
        {"finished send", TransferKind::Send, true, TransferOutcome::Completed},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Connect(c.finishFirst ? FakeRadio::Options{} : NeverReady());
        auto stream = std::make_shared<CountedStream>();
        if (c.kind == TransferKind::Send) {
            stream->data = PatternBytes(132 * 2);
            ASSERT_EQ(transfer.BeginSend(OpenCounted(stream, "rb"), "counted.bin"), "");
        } else {
            ASSERT_EQ(transfer.BeginReceive(OpenCounted(stream, "wb"), "counted.bin"), "");
        }
        ASSERT_TRUE(transfer.Start(link));
        if (c.finishFirst) {
            ASSERT_TRUE(WaitUntil([&] { return link.WorkerEnded(); }, 3000));
        } else {
            std::this_thread::sleep_for(std::chrono::milliseconds(400));
        }
        const auto before = Steady::now();
        const TransferReport report = transfer.Cancel(link);
        EXPECT_LT(MsBetween(before, Steady::now()), 300);
        EXPECT_EQ(report.outcome, c.outcome);
        EXPECT_TRUE(report.pollingRestarted);
        EXPECT_TRUE(link.Running());
        EXPECT_EQ(report.message.empty(), c.outcome == TransferOutcome::Completed) << report.message;
        if (c.outcome == TransferOutcome::Cancelled) {
            EXPECT_NE(report.message.find(c.kind == TransferKind::Send ? "Sending was cancelled: 0 of 2 records"
                                                                       : "Receiving was cancelled"),
                      std::string::npos)
                << report.message;
        }
        // A late tick or a second click finds nothing left to end.
        EXPECT_FALSE(transfer.Cancel(link).pollingRestarted);
        EXPECT_FALSE(transfer.Supervise(link).pollingRestarted);
        EXPECT_EQ(stream->closes, 1);
        const int polls = radio->PollsSeen();
        EXPECT_TRUE(WaitUntil([&] { return radio->PollsSeen() > polls + 2; }, 1000));
        link.StopWorker();
    }
}

// A port that has gone takes no transfer: nothing starts, and nothing is
// left beside the chosen file.
TEST_F(TransferTest, APortThatHasGoneTakesNoTransfer)
{
    Connect({});
    link.StartWorker(PollWorker);
    radio->Vanish();
    ASSERT_TRUE(WaitUntil([&] { return link.State() == LinkState::PortGone; }, 2000));
    for (const TransferKind kind : {TransferKind::Send, TransferKind::Receive}) {
        ASSERT_EQ(OpenEither(transfer, kind, dir), "");
        EXPECT_FALSE(transfer.Start(link));
        EXPECT_FALSE(transfer.Active());
    }
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.Path()), {}), 1) << "only the file to send";
}

// A whole image put in an existing file's place keeps that file's permissions.
TEST_F(TransferTest, AWholeReceiveKeepsTheOldFilesPermissions)
{
    FakeRadio::Options options;
    options.image = PatternBytes(264);
    Connect(options);
    const std::string target = dir.Write("in.bin", PatternBytes(132, 3));
    ASSERT_EQ(::chmod(target.c_str(), 0600), 0); // a fresh file gets 0644 under the usual umask
    ASSERT_EQ(transfer.OpenForReceiving(target), "");
    ASSERT_TRUE(transfer.Start(link));
    const TransferReport report = SuperviseUntilEnded(link, transfer, 5000);
    ASSERT_EQ(report.outcome, TransferOutcome::Completed) << report.message;
    EXPECT_EQ(ReadFileBytes(target), options.image);
    struct stat info {};
    ASSERT_EQ(::stat(target.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0600u);
}
