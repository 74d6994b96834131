// The core's port, reply reader and poll worker on the Win32 backend, run
// under Wine against radiosim: COM5 answers like a radio, COM6 never answers.

#include "protocol/radiolink.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <chrono>
#include <cstring>
#include <deque>
#include <thread>

namespace {

constexpr const char* kRadio = "\\\\.\\COM5";
constexpr const char* kSilent = "\\\\.\\COM6";

using Ms = std::chrono::milliseconds;

long long MsSince(std::chrono::steady_clock::time_point t0)
{
    return std::chrono::duration_cast<Ms>(std::chrono::steady_clock::now() - t0).count();
}

bool OpenLine(CSerialPort& port, const char* name)
{
    return port.Open(name, 115200, 'N', 8, 1, true, true);
}

// Waits until `count` bytes are waiting, or a second has passed.
uint32_t WaitForBytes(CSerialPort& port, uint32_t count)
{
    const auto t0 = std::chrono::steady_clock::now();
    while (port.BytesWaiting() < count && MsSince(t0) < 1000) {
        port.WaitForInput(50);
    }
    return port.BytesWaiting();
}

class ScriptedClock final : public Clock {
public:
    std::deque<uint32_t> ticks;
    std::vector<uint32_t> sleeps;
    uint32_t TickCount() override
    {
        const uint32_t t = ticks.front();
        if (ticks.size() > 1) {
            ticks.pop_front();
        }
        return t;
    }
    void Sleep(uint32_t ms) override { sleeps.push_back(ms); }
};

} // namespace

TEST(WinePort, OpenCloseStatesAndLineSpeed)
{
    CSerialPort port;
    EXPECT_FALSE(port.Close());
    ASSERT_TRUE(OpenLine(port, kRadio)) << port.LastError().text;
    EXPECT_TRUE(port.IsOpen());
    EXPECT_DOUBLE_EQ(port.MsPerByte(), 1000.0 / (115200.0 / 10.0));
    EXPECT_TRUE(port.Close());
    EXPECT_FALSE(port.IsOpen());
    EXPECT_FALSE(port.Close());
    uint8_t byte = 0;
    EXPECT_EQ(port.Read(&byte, 1, 10), 0);
    EXPECT_EQ(port.Write(&byte, 1, 10), 0);
    port.Purge();
}

TEST(WinePort, MissingDeviceSaysSo)
{
    CSerialPort port;
    EXPECT_FALSE(OpenLine(port, "\\\\.\\COM77"));
    EXPECT_FALSE(port.IsOpen());
    EXPECT_NE(port.LastError().text.find("COM 77 does not exist"), std::string::npos) << port.LastError().text;
}

TEST(WinePort, SecondOpenOfAHeldPortFails)
{
    // Wine does not enforce share mode 0 on serial devices; Windows does.
    if (GetProcAddress(GetModuleHandleA("ntdll.dll"), "wine_get_version") != nullptr) {
        GTEST_SKIP() << "Wine lets a held serial device be opened again";
    }
    CSerialPort first;
    CSerialPort second;
    ASSERT_TRUE(OpenLine(first, kRadio));
    EXPECT_FALSE(OpenLine(second, kRadio));
    EXPECT_FALSE(second.IsOpen());
}

TEST(WinePort, BytesBothWays)
{
    CSerialPort port;
    ASSERT_TRUE(OpenLine(port, kRadio));
    ASSERT_EQ(port.Write(statusPollFrame.data(), 4, 100), 4);
    ASSERT_EQ(WaitForBytes(port, STATUS_REPLY_LENGTH), static_cast<uint32_t>(STATUS_REPLY_LENGTH));
    uint8_t reply[STATUS_REPLY_LENGTH] = {};
    ASSERT_EQ(port.Read(reply, STATUS_REPLY_LENGTH, 200), STATUS_REPLY_LENGTH);
    EXPECT_EQ(reply[0], STX);
    EXPECT_EQ(reply[1], CMD_STATUS);
    EXPECT_EQ(reply[18], ETX);
    EXPECT_EQ(reply[19], Checksum(reply, sizeof reply));
}

TEST(WinePort, ReadThatTimesOutIsCancelledAndLeavesTheBufferAlone)
{
    CSerialPort port;
    ASSERT_TRUE(OpenLine(port, kRadio));
    ASSERT_EQ(port.Write(statusPollFrame.data(), 4, 100), 4);
    uint8_t buffer[100];
    std::memset(buffer, 0xAA, sizeof buffer);
    const auto t0 = std::chrono::steady_clock::now();
    // Asks for more than the reply: the limit passes with 20 bytes in hand.
    const int32_t got = port.Read(buffer, sizeof buffer, 150);
    const auto took = MsSince(t0);
    EXPECT_GE(took, 100);
    EXPECT_LT(took, 600);
    EXPECT_EQ(got, STATUS_REPLY_LENGTH);

    // A cancelled read must not go on filling the buffer it was given.
    uint8_t before[100];
    std::memcpy(before, buffer, sizeof buffer);
    ASSERT_EQ(port.Write(statusPollFrame.data(), 4, 100), 4);
    EXPECT_EQ(WaitForBytes(port, STATUS_REPLY_LENGTH), static_cast<uint32_t>(STATUS_REPLY_LENGTH));
    EXPECT_EQ(std::memcmp(before, buffer, sizeof buffer), 0);
}

TEST(WinePort, ReadOnASilentLineReturnsZeroWithinItsLimit)
{
    CSerialPort port;
    ASSERT_TRUE(OpenLine(port, kSilent));
    uint8_t buffer[10] = {};
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(port.Read(buffer, sizeof buffer, 100), 0);
    const auto took = MsSince(t0);
    EXPECT_GE(took, 80);
    EXPECT_LT(took, 500);
    EXPECT_FALSE(port.WaitForInput(50));
}

TEST(WinePort, PurgeDrainsEverythingWaiting)
{
    CSerialPort port;
    ASSERT_TRUE(OpenLine(port, kRadio));
    // Whatever an earlier user left in the line's queue stays there across a close.
    port.Purge();
    // Thirteen status polls answered: 260 bytes waiting, more than two reads' worth.
    for (int i = 0; i < 13; ++i) {
        ASSERT_EQ(port.Write(statusPollFrame.data(), 4, 100), 4);
        std::this_thread::sleep_for(Ms(5));
    }
    EXPECT_EQ(WaitForBytes(port, 260), 260u);
    port.Purge();
    EXPECT_EQ(port.BytesWaiting(), 0u);
}

TEST(WinePort, WritePacingFollowsTheClock)
{
    struct Case {
        uint32_t elapsed;
        std::vector<uint32_t> sleeps;
    };
    const Case cases[] = {{0, {}}, {5, {6}}, {11, {0}}, {16, {}}};
    for (const Case& c : cases) {
        ScriptedClock clock;
        clock.ticks = {1000, 1000 + c.elapsed};
        CSerialPort port(clock);
        ASSERT_TRUE(OpenLine(port, kSilent));
        uint8_t record[IMAGE_RECORD_SIZE] = {};
        EXPECT_EQ(port.Write(record, sizeof record, 1000), IMAGE_RECORD_SIZE);
        EXPECT_EQ(clock.sleeps, c.sleeps) << "elapsed " << c.elapsed;
    }
}

TEST(WineReplyReader, CollectsBothReplies)
{
    RadioLink link;
    ASSERT_TRUE(OpenLine(link.Port(), kRadio));
    link.SetRunningForTest(true);
    uint8_t buffer[LCD_REPLY_LENGTH] = {};
    link.SendCommand(statusPollFrame.data(), 4);
    ASSERT_TRUE(link.ReadReply(buffer, STATUS_REPLY_LENGTH, CMD_STATUS, 100));
    EXPECT_EQ(buffer[19], Checksum(buffer, STATUS_REPLY_LENGTH));
    link.SendCommand(lcdPollFrame.data(), 4);
    ASSERT_TRUE(link.ReadReply(buffer, LCD_REPLY_LENGTH, CMD_LCD, 100));
    EXPECT_EQ(buffer[1], CMD_LCD);
    EXPECT_EQ(buffer[69], Checksum(buffer, LCD_REPLY_LENGTH));
    link.SetRunningForTest(false);
}

TEST(WineReplyReader, NoReplyEndsAtTheLimitWithAZeroedBuffer)
{
    RadioLink link;
    ASSERT_TRUE(OpenLine(link.Port(), kSilent));
    link.SetRunningForTest(true);
    uint8_t buffer[STATUS_REPLY_LENGTH];
    std::memset(buffer, 0x55, sizeof buffer);
    link.SendCommand(statusPollFrame.data(), 4);
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_FALSE(link.ReadReply(buffer, STATUS_REPLY_LENGTH, CMD_STATUS, 100));
    EXPECT_GE(MsSince(t0), 95);
    for (const uint8_t b : buffer) {
        EXPECT_EQ(b, 0);
    }
    link.SetRunningForTest(false);
}

TEST(WinePollWorker, MirrorsTheRadioAndStopsPromptly)
{
    RadioLink link;
    ASSERT_TRUE(link.OpenPort(5)) << link.OpenError();
    std::atomic<int> refreshes{0};
    link.SetRefreshCallback([&] { ++refreshes; });
    // Every reply, not only those that change a record, so that each one's
    // refresh can be counted.
    link.SetRefreshEveryReplyForTest(true);
    link.StartPolling();
    std::this_thread::sleep_for(Ms(1000));
    const auto t0 = std::chrono::steady_clock::now();
    link.StopWorker();
    EXPECT_LT(MsSince(t0), 300);
    EXPECT_FALSE(link.Running());
    EXPECT_GE(link.Stats().statusRepliesStored, 20u);
    EXPECT_GE(link.Stats().lcdRepliesStored, 5u);
    EXPECT_LE(link.Stats().lcdPollsSent, 11u);
    EXPECT_EQ(static_cast<uint64_t>(refreshes.load()), link.Stats().statusRepliesStored + link.Stats().lcdRepliesStored);
    const PanelSnapshot snap = link.Snapshot();
    EXPECT_TRUE(snap.lcd.lcdValid);
    EXPECT_TRUE(snap.status.statusValid);
}

TEST(WinePollWorker, NoRadioMeansSlowPassesAndNothingStored)
{
    RadioLink link;
    ASSERT_TRUE(link.OpenPort(6)) << link.OpenError();
    link.StartPolling();
    std::this_thread::sleep_for(Ms(1000));
    link.StopWorker();
    EXPECT_EQ(link.Stats().statusRepliesStored, 0u);
    EXPECT_EQ(link.Stats().lcdRepliesStored, 0u);
    // Each pass waits 100 ms for each reply: about five passes in a second.
    EXPECT_GE(link.Stats().statusPollsSent, 3u);
    EXPECT_LE(link.Stats().statusPollsSent, 6u);
}
