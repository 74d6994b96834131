#include "fakeradio.h"
#include "ptypair.h"
#include "protocol/radiolink.h"

#include "waituntil.h"
#include "wrapclock.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include <poll.h>
#include <sys/inotify.h>

namespace {

using std::chrono::milliseconds;
using std::chrono::steady_clock;

long MsBetween(steady_clock::time_point a, steady_clock::time_point b)
{
    return static_cast<long>(std::chrono::duration_cast<milliseconds>(b - a).count());
}


// When each poll left the PC, taken on the worker's thread as it writes: the
// worker's rhythm without the delay of the thread that reads the far end.
class SentPolls final : public TrafficTap {
public:
    void OnTraffic(TrafficDirection direction, const uint8_t* bytes, size_t count) override
    {
        if (direction == TrafficDirection::ToRadio && count >= 2) {
            const std::lock_guard<std::mutex> guard(lock);
            sent.emplace_back(bytes[1], steady_clock::now());
        }
    }
    std::vector<steady_clock::time_point> Of(uint8_t command) const
    {
        const std::lock_guard<std::mutex> guard(lock);
        std::vector<steady_clock::time_point> times;
        for (const auto& [letter, at] : sent) {
            if (letter == command) {
                times.push_back(at);
            }
        }
        return times;
    }

private:
    mutable std::mutex lock;
    std::vector<std::pair<uint8_t, steady_clock::time_point>> sent;
};

// The worker's tick wraps 300 ms after it starts, in the middle of every
// test of its rhythm.
class PollWorkerTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(pty.Ok());
        ASSERT_TRUE(OpenOnPty(link.Port(), pty)) << link.Port().LastError().text;
        link.SetRefreshCallback([this] { ++refreshes; });
        link.Port().SetTap(&sent);
    }
    void TearDown() override
    {
        link.StopWorker();
        link.Port().SetTap(nullptr);
        radio.Stop();
    }

    void Start()
    {
        radio.Start();
        link.StartPolling();
    }

    PtyPair pty;
    FakeRadio radio{pty.Master()};
    SentPolls sent;
    WrapClock clock{300};
    RadioLink link{clock};
    std::atomic<int> refreshes{0};
};

TEST_F(PollWorkerTest, FirstPassSendsBothPolls)
{
    Start();
    ASSERT_TRUE(radio.WaitForFrames(CMD_STATUS, 1, 1000));
    const auto frames = radio.Frames();
    ASSERT_GE(frames.size(), 2u);
    EXPECT_EQ(frames[0].bytes, std::vector<uint8_t>(lcdPollFrame.begin(), lcdPollFrame.end()));
    EXPECT_EQ(frames[1].bytes, std::vector<uint8_t>(statusPollFrame.begin(), statusPollFrame.end()));
}

TEST_F(PollWorkerTest, RhythmOfTheTwoPolls)
{
    Start();
    std::this_thread::sleep_for(milliseconds(650));
    link.StopWorker();
    const auto lcd = sent.Of(CMD_LCD);
    const auto status = sent.Of(CMD_STATUS);
    for (size_t i = 1; i < lcd.size(); ++i) {
        // Whole milliseconds on the worker's tick: 100 of them may be 99.x.
        EXPECT_GE(MsBetween(lcd[i - 1], lcd[i]), 98) << "LCD poll " << i;
    }
    EXPECT_GE(lcd.size(), 4u);
    EXPECT_LE(lcd.size(), 8u);
    // A pass is a 10 ms pause and an exchange of a few ms: about 50 in 650 ms.
    EXPECT_GE(status.size(), 25u);
    for (const auto& frame : radio.Frames()) {
        EXPECT_TRUE(frame.whole);
    }
}

TEST_F(PollWorkerTest, NoLcdPollsWhileDisabled)
{
    link.WriteBanner("Sending image", "to radio");
    const auto before = link.Snapshot();
    link.SetLcdPolls(0);
    Start();
    ASSERT_TRUE(radio.WaitForFrames(CMD_STATUS, 10, 2000));
    EXPECT_TRUE(radio.FramesOf(CMD_LCD).empty());
    const auto after = link.Snapshot();
    EXPECT_EQ(std::memcmp(before.lcd.rows, after.lcd.rows, sizeof before.lcd.rows), 0);
    EXPECT_TRUE(after.lcd.lcdValid);
    EXPECT_TRUE(after.status.statusValid);

    // Switched on again, LCD polls resume without a restart.
    link.SetLcdPolls(1);
    EXPECT_TRUE(radio.WaitForFrames(CMD_LCD, 1, 1000));
}

TEST_F(PollWorkerTest, StatusBlockDecodes)
{
    radio.SetStatusReply(MakeStatusReply(
        {0x03, 0x1F, 0x4D, 0x81, 0x2C, 0x01, 0x0A, 0x00, 0xFF, 0x80, 0x0F, 0x10, 0xE6, 0xF2, 0x08, 0x01}));
    Start();
    ASSERT_TRUE(WaitUntil([this] { return link.StatusValid(); }, 1000));
    const RadioStatus s = link.Snapshot().status;
    EXPECT_TRUE(s.statusValid);
    EXPECT_EQ(s.modeIndex(), 3);
    EXPECT_EQ(s.indicatorFlags(), 0x1F);
    EXPECT_EQ(s.battery(), 33101);
    EXPECT_EQ(s.battery() & 0x8000, 0x8000);
    EXPECT_EQ(s.battery() & 0x7FFF, 333);
    EXPECT_EQ(s.rssi(), 300);
    EXPECT_EQ(s.centering(), 10);
    EXPECT_EQ(s.lampRed(), 0xFF);
    EXPECT_EQ(s.lampGreen(), 0x80);
    EXPECT_EQ(s.lampBlue(), 0x0F);
    EXPECT_EQ(s.frequencyHz(), 150136336u);
    EXPECT_EQ(s.modulationIndex(), 1);
}

TEST_F(PollWorkerTest, LcdRowsAreStoredAsReceived)
{
    char rows[65] = "ROW ONE 12345678"
                    "SCAN 146.520 FM "
                    "row three       "
                    "ROW FOUR      ok";
    rows[16 + 5] = 0;
    radio.SetLcdReply(MakeLcdReply(rows, 0xA5, 0x5A));
    Start();
    ASSERT_TRUE(WaitUntil([this] { return link.LcdValid(); }, 1000));
    const LcdImage lcd = link.Snapshot().lcd;
    for (int k = 0; k < 4; ++k) {
        EXPECT_EQ(std::memcmp(lcd.rows[k], rows + 16 * k, 16), 0) << "row " << k;
        EXPECT_EQ(lcd.rows[k][16], 0) << "row " << k;
    }
    EXPECT_STREQ(reinterpret_cast<const char*>(lcd.rows[1]), "SCAN ");
    EXPECT_EQ(lcd.iconFlagsA, 0xA5);
    EXPECT_EQ(lcd.iconFlagsB, 0x5A);
}

TEST_F(PollWorkerTest, SilentRadioStoresNothing)
{
    radio.SetAnswering(false);
    Start();
    std::this_thread::sleep_for(milliseconds(900));
    link.StopWorker();
    const auto lcd = sent.Of(CMD_LCD);
    const auto status = sent.Of(CMD_STATUS);
    // Each pass waits out both replies, so both polls are due at every pass:
    // a pass is two waits of 100 ms and the pause of 10 ms.
    ASSERT_GE(lcd.size(), 3u);
    EXPECT_LE(lcd.size(), 5u);
    EXPECT_GE(status.size() + 1, lcd.size());
    for (size_t i = 1; i < lcd.size(); ++i) {
        const long gap = MsBetween(lcd[i - 1], lcd[i]);
        EXPECT_GE(gap, 205) << "pass " << i;
        EXPECT_LT(gap, 300) << "pass " << i;
    }
    EXPECT_FALSE(link.LcdValid());
    EXPECT_FALSE(link.StatusValid());
    EXPECT_EQ(link.Stats().lcdRepliesStored + link.Stats().statusRepliesStored, 0u);
    EXPECT_EQ(refreshes, 0);
}

TEST_F(PollWorkerTest, RefreshOnlyForAChangedRecordObserverSeesEveryReply)
{
    std::mutex seenLock;
    std::vector<StoredReply> seen;
    link.SetStoreObserver([&](const StoredReply& reply) {
        const std::lock_guard<std::mutex> guard(seenLock);
        seen.push_back(reply);
    });
    const StatusReply other = MakeStatusReply({0x01, 0x02, 0x03});
    Start();
    // The same display and status again and again: one refresh for each
    // record's first reply, then one for each record that changes.
    ASSERT_TRUE(radio.WaitForFrames(CMD_LCD, 3, 2000));
    ASSERT_TRUE(WaitUntil([this] { return refreshes == 2; }, 1000));
    radio.SetStatusReply(other);
    ASSERT_TRUE(WaitUntil([this] { return link.Snapshot().status.modeIndex() == 0x01; }, 1000));
    radio.SetLcdReply(MakeLcdReply("CHANGED ROW ONE "
                                    "                "
                                    "                "
                                    "                ",
                                    0x05, 0x40));
    ASSERT_TRUE(WaitUntil([this] { return link.Snapshot().lcd.iconFlagsB == 0x40; }, 1000));
    ASSERT_TRUE(radio.WaitForFrames(CMD_LCD, radio.FramesOf(CMD_LCD).size() + 2, 1000));
    link.StopWorker();
    // A key purge or the stop may cost a reply, never a refresh of a change.
    EXPECT_EQ(refreshes, 4);

    // The observer saw every stored reply, in order, each with the records
    // as they stood right after it and its own time.
    const std::lock_guard<std::mutex> guard(seenLock);
    ASSERT_EQ(seen.size(), link.Stats().lcdRepliesStored + link.Stats().statusRepliesStored);
    uint64_t lcdCount = 0;
    uint64_t statusCount = 0;
    int changes = 0;
    for (size_t i = 0; i < seen.size(); ++i) {
        const StoredReply& r = seen[i];
        const bool isLcd = r.kind == RecordKind::Lcd;
        EXPECT_EQ(r.sequence, isLcd ? ++lcdCount : ++statusCount) << i;
        EXPECT_TRUE(isLcd ? r.records.lcd.lcdValid : r.records.status.statusValid) << i;
        changes += r.changed ? 1 : 0;
        if (i > 0) {
            EXPECT_LE(static_cast<int32_t>(seen[i - 1].tickMs - r.tickMs), 0) << i;
            const bool differs = isLcd ? !(seen[i - 1].records.lcd == r.records.lcd)
                                       : !(seen[i - 1].records.status == r.records.status);
            EXPECT_EQ(r.changed, differs) << i;
        }
    }
    EXPECT_EQ(changes, 4);
    EXPECT_GT(statusCount, 20u);
    EXPECT_EQ(seen.back().records.status.block[2], 0x03);
}

TEST_F(PollWorkerTest, KeyFramesFromAnotherThreadArriveWhole)
{
    Start();
    ASSERT_TRUE(radio.WaitForFrames(CMD_STATUS, 1, 1000));
    constexpr int kKeys = 40;
    for (int i = 0; i < kKeys; ++i) {
        link.SendKey(15);
        std::this_thread::sleep_for(milliseconds(3 + i % 7));
    }
    ASSERT_TRUE(radio.WaitForFrames(CMD_KEY, kKeys, 1000));
    link.StopWorker();
    for (const auto& frame : radio.FramesOf(CMD_KEY)) {
        EXPECT_EQ(frame.bytes, (std::vector<uint8_t>{0x02, 0x4B, 0x0F, 0x03, 0x5D}));
    }
    for (const auto& frame : radio.Frames()) {
        EXPECT_TRUE(frame.whole);
    }
    // Key purges may cost some replies, never the worker.
    EXPECT_TRUE(link.StatusValid());
}

// The port closes between two frames, never under one: a STOP that comes
// while a key frame is being written waits for it, so that the descriptor
// is not closed (and perhaps given to another file) under the write.
TEST_F(PollWorkerTest, StopWaitsForTheFrameBeingWritten)
{
    struct Holding final : TrafficTap {
        std::atomic<bool> inside{false};
        std::atomic<bool> release{false};
        void OnTraffic(TrafficDirection direction, const uint8_t*, size_t) override
        {
            if (direction == TrafficDirection::ToRadio) {
                inside = true;
                (void)WaitUntil([this] { return release.load(); }, 3000);
            }
        }
    } holding;
    link.Port().SetTap(&holding);
    link.SetRunningForTest(true);
    std::atomic<SendResult> result{SendResult::NotWritten};
    std::jthread key([&] { result = link.SendKey(15); });
    ASSERT_TRUE(WaitUntil([&] { return holding.inside.load(); }, 1000));
    std::atomic<bool> stopped{false};
    std::jthread stop([&] {
        link.StopWorker();
        stopped = true;
    });
    std::this_thread::sleep_for(milliseconds(200));
    EXPECT_FALSE(stopped) << "the port was closed under a frame";
    holding.release = true;
    key.join();
    stop.join();
    EXPECT_EQ(result, SendResult::Sent);
    EXPECT_FALSE(link.Port().IsOpen());
}

// The top of the frame's range goes out as itself, whole.
TEST_F(PollWorkerTest, TuneFrameCarriesTheHertzAsked)
{
    link.SetRunningForTest(true);
    radio.Start();
    EXPECT_EQ(link.SendTune(TUNE_HZ_MAX, 0), SendResult::Sent);
    ASSERT_TRUE(radio.WaitForFrames(CMD_TUNE, 1, 1000));
    const auto frame = TuneFrame(TUNE_HZ_MAX, 0);
    EXPECT_EQ(radio.FramesOf(CMD_TUNE)[0].bytes, std::vector<uint8_t>(frame.begin(), frame.end()));
}

TEST_F(PollWorkerTest, StopIsBoundedEvenWithoutARadio)
{
    for (const bool answering : {true, false}) {
        SCOPED_TRACE(answering ? "radio answers" : "no radio");
        radio.SetAnswering(answering);
        if (!link.Port().IsOpen()) {
            ASSERT_TRUE(OpenOnPty(link.Port(), pty));
        }
        Start();
        std::this_thread::sleep_for(milliseconds(answering ? 150 : 330));
        const auto start = steady_clock::now();
        link.StopWorker();
        EXPECT_LT(MsBetween(start, steady_clock::now()), 260);
        EXPECT_FALSE(link.HasWorker());
        EXPECT_FALSE(link.Running());
        EXPECT_FALSE(link.Port().IsOpen());
        radio.Stop();
    }
}

double ProcessCpuMs()
{
    timespec t{};
    ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) * 1000.0 + static_cast<double>(t.tv_nsec) / 1e6;
}

// True while some descriptor of this process still refers to `path`.
bool HoldsOpen(const std::string& path)
{
    namespace fs = std::filesystem;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator("/proc/self/fd", ec)) {
        const std::string target = fs::read_symlink(entry.path(), ec).string();
        if (!ec && target.rfind(path, 0) == 0) {
            return true;
        }
    }
    return false;
}

// The link's states under a running worker, step by step: each step changes
// the radio or its port, and the state that must follow comes within its
// time and is announced through the refresh. The port is named by a link,
// as ports/COM<n> leads to a device, which the test moves as udev moves a
// by-id name when an adapter comes back under another device.
TEST(LinkStates, FollowTheRadioAndItsPort)
{
    namespace fs = std::filesystem;
    const fs::path dir = fs::temp_directory_path() / ("ostrelle-states-" + std::to_string(::getpid()));
    fs::remove_all(dir);
    fs::create_directories(dir);
    const std::string com = (dir / "COM3").string();
    const auto pointAt = [&](const std::string& target) {
        const fs::path moving = dir / "moving";
        fs::remove(moving);
        fs::create_symlink(target, moving);
        fs::rename(moving, com); // in one step, as udev does
    };

    auto pty = std::make_unique<PtyPair>();
    auto radio = std::make_unique<FakeRadio>(pty->Master());
    ASSERT_TRUE(pty->Ok());
    pointAt(pty->SlavePath());
    WrapClock clock{1500}; // the tick wraps while the radio is silent
    RadioLink link{clock};
    std::atomic<int> announced{0};
    std::mutex statesLock;
    std::vector<LinkState> states; // as announced
    link.SetRefreshCallback([&] {
        const std::lock_guard<std::mutex> guard(statesLock);
        states.push_back(link.State());
        ++announced;
    });
    ASSERT_TRUE(link.OpenPortNamed(com)) << link.OpenError();
    radio->Start();
    link.StartPolling();
    EXPECT_EQ(link.State(), LinkState::Answering);
    ASSERT_TRUE(WaitUntil([&] { return link.StatusValid() && link.LcdValid(); }, 1000));

    // While the port is gone: it is closed, so the kernel may free its name;
    // the display stays and the status goes; nothing is sent; the worker
    // idles and looks for the port once a second.
    const std::string oldDevice = pty->SlavePath();
    const auto comeBack = [&](bool answering) {
        pty = std::make_unique<PtyPair>();
        ASSERT_TRUE(pty->Ok());
        radio = std::make_unique<FakeRadio>(pty->Master());
        radio->SetAnswering(answering);
        radio->Start();
        pointAt(pty->SlavePath());
    };
    const auto whileGone = [&] {
        EXPECT_FALSE(HoldsOpen(oldDevice)) << "the hung-up device is still held";
        EXPECT_TRUE(link.LcdValid());
        EXPECT_FALSE(link.StatusValid());
        EXPECT_EQ(link.SendKey(15), SendResult::PortGone);
        const std::string stranger = (dir / "not-a-radio").string();
        std::ofstream(stranger) << "no radio here\n";
        pointAt(stranger);
        // Each look opens the file; events are taken as they come, since
        // the kernel merges a repeated one that waits unread.
        const int watch = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
        ASSERT_GE(::inotify_add_watch(watch, stranger.c_str(), IN_OPEN), 0);
        const double cpu0 = ProcessCpuMs();
        const auto t0 = steady_clock::now();
        int looks = 0;
        for (long left = 3500; left > 0; left = 3500 - MsBetween(t0, steady_clock::now())) {
            pollfd p{watch, POLLIN, 0};
            if (::poll(&p, 1, static_cast<int>(left)) > 0) {
                alignas(inotify_event) char events[4096];
                const ssize_t n = ::read(watch, events, sizeof events);
                looks += n > 0 ? static_cast<int>(n / static_cast<ssize_t>(sizeof(inotify_event))) : 0;
            }
        }
        const double cpu = ProcessCpuMs() - cpu0;
        const long wall = MsBetween(t0, steady_clock::now());
        ::close(watch);
        EXPECT_GE(looks, 2) << "the port is not looked for";
        EXPECT_LE(looks, wall / 1000 + 1) << "looked for more than once a second";
        EXPECT_LT(cpu, wall * 0.02) << "the wait spins";
        RecordProperty("processor_ms_per_s_while_the_port_is_gone", static_cast<int>(cpu * 1000 / wall));
        comeBack(true);
    };
    const auto hangUp = [&] {
        radio->Stop();
        pty->CloseMaster();
    };

    struct Step {
        const char* what;
        std::function<void()> act;
        LinkState then;
        long withinMs;  // from the end of the act
        long notBeforeMs;
        bool announcedToo;
    };
    const std::vector<Step> steps{
        {"the radio falls silent", [&] { radio->SetAnswering(false); }, LinkState::NotAnswering, 1500, 900, true},
        {"it answers again", [&] { radio->SetAnswering(true); }, LinkState::Answering, 400, 0, true},
        {"LCD polls off", [&] { link.SetLcdPolls(0); }, LinkState::LcdPollsOff, 300, 0, true},
        {"LCD polls on", [&] { link.SetLcdPolls(1); }, LinkState::Answering, 300, 0, true},
        {"the port hangs up", hangUp, LinkState::PortGone, 500, 0, true},
        {"it comes back as another device", whileGone, LinkState::Answering, 1300, 0, true},
        // Its link leads to the next device at once, yet the first look
        // waits a second; and an open port is not yet a radio, so the state
        // waits a second more for a reply.
        {"the port hangs up, its link on a silent radio",
         [&] {
             hangUp();
             comeBack(false);
         },
         LinkState::PortGone, 500, 0, true},
        {"it is found again, the radio silent", [] {}, LinkState::NotAnswering, 3000, 1800, true},
        {"the radio answers", [&] { radio->SetAnswering(true); }, LinkState::Answering, 400, 0, true},
        {"the port hangs up once more", hangUp, LinkState::PortGone, 500, 0, true},
        {"STOP while it is waited for", [&] { link.StopWorker(); }, LinkState::Stopped, 0, 0, false},
    };
    for (const Step& step : steps) {
        SCOPED_TRACE(step.what);
        const int before = announced;
        const size_t statesBefore = [&] {
            const std::lock_guard<std::mutex> guard(statesLock);
            return states.size();
        }();
        const auto t0 = steady_clock::now();
        step.act();
        const auto acted = steady_clock::now();
        EXPECT_TRUE(WaitUntil([&] { return link.State() == step.then; }, static_cast<int>(step.withinMs)))
            << "state " << static_cast<int>(link.State());
        EXPECT_GE(MsBetween(t0, steady_clock::now()), step.notBeforeMs);
        // The state is set before the refresh is posted, so the post may
        // lag the state a moment.
        EXPECT_EQ(WaitUntil([&] { return announced > before; }, step.announcedToo ? 200 : 50), step.announcedToo);
        if (step.then == LinkState::NotAnswering) {
            const std::lock_guard<std::mutex> guard(statesLock);
            EXPECT_EQ(std::count(states.begin() + static_cast<long>(statesBefore), states.end(), LinkState::Answering), 0)
                << "counted as answering before any reply";
        }
        if (step.then == LinkState::Answering) {
            const uint64_t stored = link.Stats().statusRepliesStored;
            EXPECT_TRUE(WaitUntil([&] { return link.Stats().statusRepliesStored > stored && link.StatusValid(); }, 500));
        }
        if (step.then == LinkState::Stopped) {
            EXPECT_LT(MsBetween(t0, acted), 150) << "STOP waits for the wait";
            EXPECT_FALSE(link.HasWorker());
        }
    }
    fs::remove_all(dir);
}

TEST(PollWorkerThreads, AtMostOneWorker)
{
    RadioLink link;
    std::atomic<int> running{0};
    std::atomic<int> most{0};
    std::atomic<int> started{0};
    auto routine = [&](RadioLink& l) {
        const int now = ++running;
        most = std::max(most.load(), now);
        ++started;
        while (!l.StopRequested()) {
            std::this_thread::sleep_for(milliseconds(2));
        }
        --running;
        return 0;
    };
    link.StartWorker(routine);
    link.StartWorker(routine);
    ASSERT_TRUE(WaitUntil([&] { return started == 2; }, 1000));
    EXPECT_EQ(most, 1);
    EXPECT_FALSE(link.WorkerEnded());
    link.StopWorkerThread();
    EXPECT_EQ(running, 0);
    EXPECT_FALSE(link.HasWorker());
}

} // namespace
