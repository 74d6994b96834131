#include "ptypair.h"
#include "readcounter.h"
#include "serial/keptfiles.h"
#include "serial/serialport.h"
#include "waituntil.h"

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <thread>
#include <vector>

#include <sys/ioctl.h>

namespace {

using std::chrono::milliseconds;
using std::chrono::steady_clock;

long MsSince(steady_clock::time_point start)
{
    return static_cast<long>(std::chrono::duration_cast<milliseconds>(steady_clock::now() - start).count());
}

std::vector<uint8_t> Pattern(size_t count, uint8_t first = 0)
{
    std::vector<uint8_t> bytes(count);
    for (size_t i = 0; i < count; ++i) {
        bytes[i] = static_cast<uint8_t>(first + i);
    }
    return bytes;
}

class PortOnPty : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(pty.Ok());
        ASSERT_TRUE(OpenOnPty(port, pty)) << port.LastError().text;
    }

    PtyPair pty;
    CSerialPort port;
};

// Operations on a port that was never opened, or was closed, must neither
// block nor pretend to have moved bytes.
TEST(SerialPortStates, ClosedPortDoesNothing)
{
    CSerialPort port;
    uint8_t buffer[8] = {};
    EXPECT_FALSE(port.IsOpen());
    EXPECT_FALSE(port.Close());
    EXPECT_EQ(port.BytesWaiting(), 0u);
    EXPECT_EQ(port.Read(buffer, 8, 500), 0);
    EXPECT_EQ(port.Write(buffer, 8, 500), 0);
    EXPECT_FALSE(port.Configure(115200, 'N', 8, 1, true, true));
    const auto start = steady_clock::now();
    port.Purge();
    EXPECT_FALSE(port.WaitForInput(500));
    EXPECT_LT(MsSince(start), 50) << "a closed port must return at once";
}

TEST(SerialPortStates, OpenCloseAndOpenAgain)
{
    PtyPair pty;
    ASSERT_TRUE(pty.Ok());
    CSerialPort port;
    ASSERT_TRUE(OpenOnPty(port, pty)) << port.LastError().text;
    EXPECT_TRUE(port.IsOpen());
    EXPECT_FALSE(OpenOnPty(port, pty)) << "Open on an open object must refuse";
    EXPECT_TRUE(port.IsOpen());
    EXPECT_TRUE(port.Close());
    EXPECT_FALSE(port.IsOpen());
    EXPECT_FALSE(port.Close());
    uint8_t byte = 0;
    EXPECT_EQ(port.Write(&byte, 1, 100), 0);
    ASSERT_TRUE(OpenOnPty(port, pty)) << port.LastError().text;
    EXPECT_TRUE(port.Close());
}

// After a hang-up a COM number is opened again only through the link it
// went through: a link that has gone (a simulated radio ended) must not let
// the number fall back to a ttyS, and a link pointed elsewhere is followed.
TEST(SerialPortStates, OpenAgainGoesOnlyWhereTheNameLedBefore)
{
    namespace fs = std::filesystem;
    const fs::path link = fs::path(KeptFilesDirectory()) / "ports" / "COM240";
    fs::create_directories(link.parent_path());
    fs::remove(link);
    PtyPair first;
    PtyPair second;
    ASSERT_TRUE(first.Ok() && second.Ok());
    fs::create_symlink(first.SlavePath(), link);
    CSerialPort port;
    ASSERT_TRUE(port.Open("COM240", 115200, 'N', 8, 1, true, true)) << port.LastError().text;
    EXPECT_FALSE(port.OpenAgain(115200, 'N', 8, 1, true, true)) << "an open port is not opened twice";
    port.Close();

    fs::remove(link);
    EXPECT_FALSE(port.OpenAgain(115200, 'N', 8, 1, true, true));
    EXPECT_FALSE(port.IsOpen());
    EXPECT_EQ(port.LastError().fault, SerialFault::Missing) << port.LastError().text;
    // Refused for where the name led, not tried on ttyS239, which some
    // machines may have.
    EXPECT_EQ(port.LastError().text, "COM 240 no longer leads to " + link.string() + ".");

    fs::create_symlink(second.SlavePath(), link);
    ASSERT_TRUE(port.OpenAgain(115200, 'N', 8, 1, true, true)) << port.LastError().text;
    const std::vector<uint8_t> byte{0x5a};
    EXPECT_EQ(port.Write(byte.data(), 1, 100), 1);
    EXPECT_EQ(second.ReadMaster(1, 1000), byte);
    port.Close();
    fs::remove(link);
}

TEST_F(PortOnPty, BytesGoBothWays)
{
    const auto out = Pattern(40, 0x30);
    EXPECT_EQ(port.Write(out.data(), 40, 100), 40);
    EXPECT_EQ(pty.ReadMaster(40, 1000), out);

    const auto in = Pattern(256); // every byte value, control characters included
    ASSERT_TRUE(pty.WriteMaster(in));
    ASSERT_TRUE(WaitForWaiting(port, 256));
    std::vector<uint8_t> got(256);
    EXPECT_EQ(port.Read(got.data(), 256, 100), 256);
    EXPECT_EQ(got, in);
    EXPECT_EQ(port.BytesWaiting(), 0u);
}

TEST_F(PortOnPty, ReadOfNothingTimesOutAndLeavesTheBufferAlone)
{
    std::vector<uint8_t> buffer(16, 0xEE);
    const auto start = steady_clock::now();
    EXPECT_EQ(port.Read(buffer.data(), 16, 60), 0);
    const long took = MsSince(start);
    EXPECT_GE(took, 55);
    EXPECT_LT(took, 300);

    // Bytes that come after the read gave up belong to the next reader: the
    // abandoned read must not take them, nor write into the old buffer.
    ASSERT_TRUE(pty.WriteMaster(Pattern(6, 1)));
    ASSERT_TRUE(WaitForWaiting(port, 6));
    std::this_thread::sleep_for(milliseconds(30));
    EXPECT_EQ(port.BytesWaiting(), 6u);
    EXPECT_EQ(buffer, std::vector<uint8_t>(16, 0xEE));
}

TEST_F(PortOnPty, ShortReadLosesNothing)
{
    ASSERT_TRUE(pty.WriteMaster(Pattern(3, 0x61)));
    ASSERT_TRUE(WaitForWaiting(port, 3));
    uint8_t buffer[10] = {};
    const auto start = steady_clock::now();
    const int32_t got = port.Read(buffer, 10, 50);
    EXPECT_LT(MsSince(start), 300);
    ASSERT_GE(got, 0);
    // Whatever the read did not hand back must still be waiting.
    EXPECT_EQ(static_cast<uint32_t>(got) + port.BytesWaiting(), 3u);
    for (int i = 0; i < got; ++i) {
        EXPECT_EQ(buffer[i], 0x61 + i);
    }
}

TEST_F(PortOnPty, PurgeReadsInChunksOfAtMostOneHundred)
{
    ASSERT_TRUE(pty.WriteMaster(Pattern(250)));
    ASSERT_TRUE(WaitForWaiting(port, 250));
    StartCountingReads(pty.SlavePath());
    port.Purge();
    EXPECT_EQ(StopCountingReads(), (std::vector<long>{100, 100, 50}));
    EXPECT_EQ(port.BytesWaiting(), 0u);

    // Nothing waiting: no read at all. Bytes that come afterwards stay.
    StartCountingReads(pty.SlavePath());
    port.Purge();
    EXPECT_TRUE(StopCountingReads().empty());
    ASSERT_TRUE(pty.WriteMaster(Pattern(7)));
    EXPECT_TRUE(WaitForWaiting(port, 7));
}

struct LineCase {
    int baud = 0;
    char parity = 'N';
    int dataBits = 8;
    int stopBits = 1;
    bool accepted = true;
    double msPerByte = 0;
};

class LineSettingsTest : public PortOnPty, public ::testing::WithParamInterface<LineCase> {};

TEST_P(LineSettingsTest, MsPerByteFollowsTheCharacterLength)
{
    const LineCase& c = GetParam();
    EXPECT_EQ(port.Configure(c.baud, c.parity, c.dataBits, c.stopBits, true, true), c.accepted);
    EXPECT_DOUBLE_EQ(port.MsPerByte(), c.msPerByte);
}

INSTANTIATE_TEST_SUITE_P(Lines, LineSettingsTest,
                         ::testing::Values(LineCase{115200, 'N', 8, 1, true, 1000.0 / (115200.0 / 10.0)},
                                           LineCase{115200, 'E', 7, 2, true, 1000.0 / (115200.0 / 11.0)},
                                           LineCase{9600, 'O', 8, 1, true, 1000.0 / (9600.0 / 11.0)},
                                           // A refused setting leaves the placeholder 1.0.
                                           LineCase{12345, 'N', 8, 1, false, 1.0},
                                           LineCase{115200, 'N', 9, 1, false, 1.0}));

// Time that the test moves by hand: each write asks the tick twice, before and
// after, and the second answer is `elapsed` later than the first.
class SteppedClock final : public Clock {
public:
    uint32_t TickCount() override
    {
        const bool before = (calls++ % 2) == 0;
        return before ? base : base + elapsed;
    }
    void Sleep(uint32_t ms) override { sleeps.push_back(ms); }

    uint32_t base = 1000;
    uint32_t elapsed = 0;
    int calls = 0;
    std::vector<uint32_t> sleeps;
};

struct PacingCase {
    uint32_t base = 1000;
    uint32_t elapsed = 0;
    int32_t count = 132;
    std::vector<uint32_t> sleeps;
};

class PacingTest : public ::testing::TestWithParam<PacingCase> {};

TEST_P(PacingTest, SleepsOnlyForWhatTheLineStillNeeds)
{
    const PacingCase& c = GetParam();
    PtyPair pty;
    ASSERT_TRUE(pty.Ok());
    SteppedClock clock;
    clock.base = c.base;
    clock.elapsed = c.elapsed;
    CSerialPort port(clock);
    ASSERT_TRUE(OpenOnPty(port, pty)) << port.LastError().text;
    const auto bytes = Pattern(static_cast<size_t>(c.count));
    EXPECT_EQ(port.Write(bytes.data(), c.count, 100), c.count);
    EXPECT_EQ(clock.sleeps, c.sleeps);
    EXPECT_EQ(pty.ReadMaster(bytes.size(), 1000), bytes);
}

// 132 bytes at 115200 8N1 have a target of 11 ms; fewer than 12 bytes, 0 ms.
INSTANTIATE_TEST_SUITE_P(Writes, PacingTest,
                         ::testing::Values(PacingCase{1000, 0, 132, {}}, PacingCase{1000, 5, 132, {6}},
                                           PacingCase{1000, 11, 132, {0}}, PacingCase{1000, 16, 132, {}},
                                           PacingCase{1000, 1, 11, {}}, PacingCase{1000, 0, 11, {}},
                                           // Across the wrap of the 32-bit tick.
                                           PacingCase{0xFFFFFFFEu, 5, 132, {6}}));

TEST_F(PortOnPty, TimedOutWriteReturnsNearItsLimit)
{
    // Nobody reads the master, so the pty's queue fills and the write cannot
    // finish; it must give up near its limit instead of pacing for seconds.
    const auto bytes = Pattern(32 * 1024); // more than the pty holds, 2.8 s of line time
    const auto start = steady_clock::now();
    const int32_t written = port.Write(bytes.data(), static_cast<int32_t>(bytes.size()), 100);
    const long took = MsSince(start);
    EXPECT_LT(written, static_cast<int32_t>(bytes.size()));
    EXPECT_LT(took, 1000) << "wrote " << written << " bytes";
}

TEST(SerialPortOpen, SecondUserOfTheDeviceIsRefused)
{
    PtyPair pty;
    ASSERT_TRUE(pty.Ok());
    CSerialPort first;
    CSerialPort second;
    ASSERT_TRUE(OpenOnPty(first, pty)) << first.LastError().text;
    EXPECT_FALSE(OpenOnPty(second, pty));
    EXPECT_FALSE(second.IsOpen());
    EXPECT_EQ(second.LastError().text, pty.SlavePath() + " is already open in this program.");
    EXPECT_EQ(second.LastError().fault, SerialFault::Busy);
    EXPECT_FALSE(second.Close());
    EXPECT_TRUE(first.Close());
    EXPECT_TRUE(OpenOnPty(second, pty)) << second.LastError().text;
}

// The exclusive claim ends with the close, although another descriptor (a
// simulator's, say) keeps the device open: else the next open would be
// refused to every user but root.
TEST(SerialPortOpen, TheExclusiveClaimEndsWithTheClose)
{
#ifdef TIOCGEXCL
    PtyPair pty;
    ASSERT_TRUE(pty.Ok());
    const int other = ::open(pty.SlavePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(other, 0);
    CSerialPort port;
    ASSERT_TRUE(OpenOnPty(port, pty)) << port.LastError().text;
    int exclusive = 0;
    EXPECT_EQ(::ioctl(other, TIOCGEXCL, &exclusive), 0);
    EXPECT_EQ(exclusive, 1);
    port.Close();
    EXPECT_EQ(::ioctl(other, TIOCGEXCL, &exclusive), 0);
    EXPECT_EQ(exclusive, 0);
    ::close(other);
#else
    GTEST_SKIP() << "no TIOCGEXCL here";
#endif
}

// A write cut short by a hang-up still says how much went out, so that a
// caller never sends those bytes twice.
TEST_F(PortOnPty, AWriteCutByAHangUpCountsWhatWentOut)
{
    const auto bytes = Pattern(32 * 1024); // more than the pty holds
    std::thread hangUp([this] {
        std::this_thread::sleep_for(milliseconds(100));
        pty.CloseMaster();
    });
    const int32_t written = port.Write(bytes.data(), static_cast<int32_t>(bytes.size()), 1000);
    hangUp.join();
    EXPECT_GT(written, 0);
    EXPECT_LT(written, static_cast<int32_t>(bytes.size()));
}

TEST(SerialPortOpen, RefusesWhatIsNotASerialDevice)
{
    namespace fs = std::filesystem;
    const fs::path dir = fs::temp_directory_path() / ("ostrelle-serial-" + std::to_string(::getpid()));
    fs::create_directories(dir);
    const fs::path file = dir / "plain.bin";
    std::ofstream(file) << "not a port";

    const struct {
        std::string path;
        std::string reason;
    } cases[] = {
        {(dir / "missing").string(), "does not exist"},
        {dir.string(), ""},
        {file.string(), "not a serial device"},
        {"/dev/null", "not a serial device"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        CSerialPort port;
        EXPECT_FALSE(port.Open(c.path.c_str(), 115200, 'N', 8, 1, true, true));
        EXPECT_FALSE(port.IsOpen());
        const std::string text = port.LastError().text;
        EXPECT_NE(text.find(c.path), std::string::npos) << text;
        EXPECT_NE(text.find(c.reason), std::string::npos) << text;
    }
    fs::remove_all(dir);
}

// A USB adapter pulled out is hung up by the kernel: reads on the old
// descriptor then end at once with no bytes, and poll() reports it readable
// for ever. TIOCVHANGUP does the same to a pseudo-terminal. Every operation
// must still end within its limit; it runs on a thread of its own so that
// one that never returns fails the test instead of hanging it.
TEST(SerialPortHangUp, DeviceHungUpByTheKernelEndsEveryOperationInTime)
{
    PtyPair pty;
    ASSERT_TRUE(pty.Ok());
    auto port = std::make_shared<CSerialPort>();
    ASSERT_TRUE(OpenOnPty(*port, pty)) << port->LastError().text;
    ASSERT_TRUE(pty.WriteMaster(Pattern(3)));
    ASSERT_TRUE(WaitForWaiting(*port, 3));
    const int other = ::open(pty.SlavePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    const bool hungUp = other >= 0 && ::ioctl(other, TIOCVHANGUP) == 0;
    if (other >= 0) {
        ::close(other);
    }
    if (!hungUp) {
        GTEST_SKIP() << "hanging up a terminal needs CAP_SYS_ADMIN";
    }
    EXPECT_TRUE(port->HungUp());

    struct Outcome {
        std::atomic<bool> done{false};
        int32_t read = -1;
        int32_t written = -1;
        bool input = true;
        long took = 0;
    };
    auto outcome = std::make_shared<Outcome>();
    std::thread([port, outcome] {
        const auto start = steady_clock::now();
        uint8_t buffer[8] = {};
        outcome->read = port->Read(buffer, 8, 200);
        outcome->written = port->Write(buffer, 8, 200);
        outcome->input = port->WaitForInput(100);
        port->Purge();
        outcome->took = MsSince(start);
        outcome->done = true;
    }).detach(); // kept alive by its own references should it never return
    ASSERT_TRUE(WaitUntil([&] { return outcome->done.load(); }, 3000))
        << "an operation on the hung-up device never returned";
    EXPECT_EQ(outcome->read, 0);
    EXPECT_EQ(outcome->written, 0);
    EXPECT_FALSE(outcome->input);
    EXPECT_LT(outcome->took, 1000);
}

// Key frames from the window thread and polls from the worker share one
// port; each must reach the line in one piece.
TEST_F(PortOnPty, FramesFromTwoThreadsNeverInterleave)
{
    constexpr int kFrames = 200;
    constexpr size_t kLength = 24; // long enough to be paced
    std::atomic<bool> go{false};
    auto writer = [&](uint8_t mark) {
        std::vector<uint8_t> frame(kLength, mark);
        while (!go) {
            std::this_thread::yield();
        }
        for (int i = 0; i < kFrames; ++i) {
            frame[1] = static_cast<uint8_t>(i);
            port.Write(frame.data(), static_cast<int32_t>(kLength), 1000);
        }
    };
    std::thread a(writer, 'A');
    std::thread b(writer, 'B');
    go = true;
    const auto received = pty.ReadMaster(2 * kFrames * kLength, 10000);
    a.join();
    b.join();
    ASSERT_EQ(received.size(), 2 * kFrames * kLength);
    int nextA = 0;
    int nextB = 0;
    for (size_t at = 0; at < received.size(); at += kLength) {
        const uint8_t mark = received[at];
        ASSERT_TRUE(mark == 'A' || mark == 'B') << "at " << at;
        int& next = mark == 'A' ? nextA : nextB;
        EXPECT_EQ(received[at + 1], static_cast<uint8_t>(next)) << "at " << at;
        ++next;
        for (size_t i = 2; i < kLength; ++i) {
            ASSERT_EQ(received[at + i], mark) << "frame torn at " << at + i;
        }
    }
    EXPECT_EQ(nextA, kFrames);
    EXPECT_EQ(nextB, kFrames);
}

// A tap records what it sees; it runs on the thread that moved the bytes.
class RecordingTap final : public TrafficTap {
public:
    void OnTraffic(TrafficDirection direction, const uint8_t* bytes, size_t count) override
    {
        const std::lock_guard<std::mutex> lock(seenLock);
        auto& side = direction == TrafficDirection::ToRadio ? toRadio : fromRadio;
        side.insert(side.end(), bytes, bytes + count);
    }
    std::mutex seenLock;
    std::vector<uint8_t> toRadio;
    std::vector<uint8_t> fromRadio;
};

TEST_F(PortOnPty, TapSeesExactlyWhatMovedEachWay)
{
    RecordingTap tap;
    port.SetTap(&tap);
    const auto out = Pattern(9, 0x40);
    ASSERT_EQ(port.Write(out.data(), 9, 100), 9);
    ASSERT_TRUE(pty.WriteMaster(Pattern(12, 0x80)));
    ASSERT_TRUE(WaitForWaiting(port, 12));
    uint8_t in[5] = {};
    ASSERT_EQ(port.Read(in, 5, 100), 5);
    port.Purge();
    uint8_t none[4] = {};
    EXPECT_EQ(port.Read(none, 4, 20), 0); // a read that got nothing shows nothing
    port.SetTap(nullptr);
    ASSERT_EQ(port.Write(out.data(), 9, 100), 9);

    EXPECT_EQ(tap.toRadio, out);
    EXPECT_EQ(tap.fromRadio, Pattern(12, 0x80)) << "purged bytes count as traffic too";
}

} // namespace
