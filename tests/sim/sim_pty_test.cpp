// radiosim as the front panel meets it: a separate process behind the link,
// reached through the real serial port class.

#include "protocol/frames.h"
#include "sim/radiomodel.h"
#include "serial/serialport.h"
#include "simprocess.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <iterator>
#include <memory>
#include <regex>
#include <thread>

#include <sys/stat.h>
#include <unistd.h>

namespace {

using Bytes = std::vector<uint8_t>;
using SteadyClock = std::chrono::steady_clock;

double MsSince(SteadyClock::time_point start)
{
    return std::chrono::duration<double, std::milli>(SteadyClock::now() - start).count();
}

class SimLine : public ::testing::Test {
protected:
    void Begin(std::vector<std::string> args = {})
    {
        sim = std::make_unique<SimProcess>(std::move(args));
        ASSERT_TRUE(sim->Started()) << sim->Error();
        ASSERT_TRUE(port.Open(sim->Path().c_str(), 115200, 'N', 8, 1, true, true)) << port.LastError().text;
    }
    void TearDown() override
    {
        port.Close();
        if (sim) {
            sim->Stop();
        }
    }

    template <size_t N> void Send(const std::array<uint8_t, N>& frame)
    {
        port.Purge();
        ASSERT_EQ(port.Write(frame.data(), static_cast<int32_t>(N), 100), static_cast<int32_t>(N));
    }
    void SendByte(uint8_t byte) { ASSERT_EQ(port.Write(&byte, 1, 100), 1); }

    Bytes Receive(size_t count, int timeoutMs)
    {
        Bytes bytes(count);
        const int32_t n = port.Read(bytes.data(), static_cast<int32_t>(count), timeoutMs);
        bytes.resize(static_cast<size_t>(std::max(0, n)));
        return bytes;
    }

    template <size_t N> Bytes Exchange(const std::array<uint8_t, N>& frame, size_t replyLength, int timeoutMs = 100)
    {
        Send(frame);
        return Receive(replyLength, timeoutMs);
    }

    // Reads everything that comes until the line has been quiet for quietMs.
    Bytes ReceiveUntilQuiet(int quietMs, size_t limit)
    {
        Bytes all;
        uint8_t buffer[512];
        while (all.size() < limit && port.WaitForInput(quietMs)) {
            const int32_t n = port.Read(buffer, static_cast<int32_t>(std::min<uint32_t>(port.BytesWaiting(), 512)), 100);
            all.insert(all.end(), buffer, buffer + std::max(0, n));
        }
        return all;
    }

    std::unique_ptr<SimProcess> sim;
    CSerialPort port;
};

TEST_F(SimLine, PollRepliesArriveWholeAndQuickly)
{
    Begin();
    int quick = 0;
    for (int i = 0; i < 10; ++i) {
        const auto start = SteadyClock::now();
        const Bytes status = Exchange(statusPollFrame, STATUS_REPLY_LENGTH);
        const Bytes lcd = Exchange(lcdPollFrame, LCD_REPLY_LENGTH);
        const double ms = MsSince(start);
        ASSERT_EQ(status.size(), 20u);
        ASSERT_EQ(lcd.size(), 70u);
        EXPECT_EQ(status[1], CMD_STATUS);
        EXPECT_EQ(lcd[1], CMD_LCD);
        EXPECT_EQ(status[18], ETX);
        EXPECT_EQ(status[19], Checksum(status.data(), status.size()));
        EXPECT_EQ(lcd[68], ETX);
        EXPECT_EQ(lcd[69], Checksum(lcd.data(), lcd.size()));
        quick += ms <= 20.0;
    }
    // A loaded machine may stall a single exchange; most must be quick.
    EXPECT_GE(quick, 8);
}

TEST_F(SimLine, KeysAndTuneShowInTheNextPolls)
{
    Begin();
    Send(KeyFrame(KeyByCaption("LIGHT")->code));
    Bytes lcd = Exchange(lcdPollFrame, LCD_REPLY_LENGTH);
    ASSERT_EQ(lcd.size(), 70u);
    EXPECT_EQ(lcd[67] & 0x40, 0x40);

    Send(TuneFrame(32009999, 1));
    const Bytes status = Exchange(statusPollFrame, STATUS_REPLY_LENGTH);
    ASSERT_EQ(status.size(), 20u);
    EXPECT_EQ((Bytes(status.begin() + 13, status.begin() + 17)), (Bytes{0x0F, 0x6F, 0xE8, 0x01}));
    EXPECT_EQ(status[17], 1);
    lcd = Exchange(lcdPollFrame, LCD_REPLY_LENGTH);
    EXPECT_EQ(std::string(lcd.begin() + 18, lcd.begin() + 34), "  32.0099 MHz   ");
}

TEST_F(SimLine, ReplyFaults)
{
    struct Case {
        std::vector<std::string> args;
        size_t expected;                // bytes that arrive for a status poll
        uint8_t letter;                 // at byte 1 of the reply proper
    };
    const std::vector<Case> cases = {
        {{"--no-reply"}, 0, 0},
        {{"--truncate", "9"}, 9, CMD_STATUS},
        {{"--junk", "6"}, 26, CMD_STATUS},
        {{"--wrong-letter"}, 20, CMD_STATUS ^ 0x20},
        {{"--drop", "100"}, 0, 0},
    };
    for (const Case& c : cases) {
        TearDown();
        Begin(c.args);
        Send(statusPollFrame);
        const Bytes got = ReceiveUntilQuiet(150, 100);
        EXPECT_EQ(got.size(), c.expected) << c.args[0];
        if (c.expected >= 2) {
            const size_t at = c.expected == 26 ? 6 : 0;
            EXPECT_EQ(got[at], STX) << c.args[0];
            EXPECT_EQ(got[at + 1], c.letter) << c.args[0];
        }
    }
}

TEST_F(SimLine, DelayedRepliesComeLate)
{
    Begin({"--delay", "150"});
    const auto start = SteadyClock::now();
    Send(statusPollFrame);
    EXPECT_TRUE(Receive(20, 100).empty());
    EXPECT_EQ(Receive(20, 1000).size(), 20u);
    EXPECT_GE(MsSince(start), 140.0);
}

TEST_F(SimLine, BadChecksumIsDroppedAndCounted)
{
    Begin();
    const std::array<uint8_t, 4> damaged{STX, CMD_STATUS, ETX, 0x45};
    Send(damaged);
    EXPECT_TRUE(Receive(20, 100).empty());
    EXPECT_EQ(Exchange(statusPollFrame, 20).size(), 20u);
    port.Close();
    EXPECT_EQ(sim->Stop(), 0);
    const auto lines = sim->ErrorLines();
    ASSERT_FALSE(lines.empty());
    EXPECT_NE(lines.back().find("bad checksums 1"), std::string::npos) << lines.back();
    EXPECT_NE(lines.back().find("A=1"), std::string::npos) << lines.back();
}

TEST_F(SimLine, TraceShowsBothDirections)
{
    Begin({"--trace"});
    ASSERT_EQ(Exchange(statusPollFrame, 20).size(), 20u);
    const std::regex pc(R"(^ {0,8}\d{1,9} ms  PC->RADIO  02 41 03 44$)");
    const std::regex radio(R"(^ {0,8}\d{1,9} ms  RADIO->PC  02 41( [0-9A-F]{2}){18}$)");
    EXPECT_TRUE(sim->WaitForTrace([&](const std::string& l) { return std::regex_match(l, pc); }, 1000));
    EXPECT_TRUE(sim->WaitForTrace([&](const std::string& l) { return std::regex_match(l, radio); }, 1000));
}

TEST_F(SimLine, DownloadStreamsTheImageAfterTheFirstFlowByte)
{
    Begin({"--records", "5"});
    Send(imageReceiveStartFrame);
    // Nothing comes before the PC signals with the flow byte.
    EXPECT_FALSE(port.WaitForInput(100));
    const auto start = SteadyClock::now();
    SendByte(FLOW_BYTE);
    SendByte(FLOW_BYTE); // ignored while the image flows
    const Bytes image = ReceiveUntilQuiet(200, 100000);
    const double ms = MsSince(start);
    EXPECT_EQ(image, sim::DefaultImage(5));
    // 660 bytes at line speed take about 57 ms; a stream at pty speed would not.
    EXPECT_GE(ms, 45.0);
    // Then back to normal.
    EXPECT_EQ(Exchange(statusPollFrame, 20).size(), 20u);
}

TEST_F(SimLine, DownloadPausesWhereAsked)
{
    Begin({"--records", "4", "--pause-at", "264", "--pause-ms", "400"});
    Send(imageReceiveStartFrame);
    SendByte(FLOW_BYTE);
    const Bytes head = ReceiveUntilQuiet(250, 100000);
    EXPECT_EQ(head.size(), 264u);
    const Bytes tail = ReceiveUntilQuiet(300, 100000);
    Bytes all = head;
    all.insert(all.end(), tail.begin(), tail.end());
    EXPECT_EQ(all, sim::DefaultImage(4));
}

TEST_F(SimLine, UploadIsAnsweredAndStoredAndSaved)
{
    const std::string file = ::testing::TempDir() + "/radiosim-upload-" + std::to_string(::getpid()) + ".bin";
    ::unlink(file.c_str());
    Begin({"--image", file, "--expect-records", "3", "--ready-junk", "4"});
    Send(imageSendStartFrame);
    const Bytes ready = Receive(5, 500);
    ASSERT_EQ(ready.size(), 5u);
    EXPECT_FALSE(port.WaitForInput(50));
    EXPECT_EQ(ready.back(), FLOW_BYTE);
    EXPECT_EQ(std::count(ready.begin(), ready.end() - 1, FLOW_BYTE), 0);

    Bytes sent(3 * IMAGE_RECORD_SIZE);
    for (size_t i = 0; i < sent.size(); ++i) {
        sent[i] = static_cast<uint8_t>(i * 31 + 7);
    }
    for (int r = 0; r < 3; ++r) {
        ASSERT_EQ(port.Write(sent.data() + r * IMAGE_RECORD_SIZE, IMAGE_RECORD_SIZE, 5000), IMAGE_RECORD_SIZE);
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    // The radio sends back what it now holds.
    Send(imageReceiveStartFrame);
    SendByte(FLOW_BYTE);
    EXPECT_EQ(ReceiveUntilQuiet(200, 100000), sent);

    std::ifstream in(file, std::ios::binary);
    const Bytes saved((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(saved, sent);
    ::unlink(file.c_str());
}

TEST_F(SimLine, UploadEndsWhenThePcPollsAgain)
{
    Begin({"--records", "10"});
    Send(imageSendStartFrame);
    ASSERT_EQ(Receive(1, 500), Bytes{FLOW_BYTE});
    const Bytes record = sim::DefaultImage(7);
    ASSERT_EQ(port.Write(record.data() + 6 * IMAGE_RECORD_SIZE, IMAGE_RECORD_SIZE, 5000), IMAGE_RECORD_SIZE);
    // Straight after the record, with no quiet gap: the poll ends the upload
    // and is answered as a poll.
    ASSERT_EQ(port.Write(statusPollFrame.data(), 4, 100), 4);
    EXPECT_EQ(Receive(20, 200).size(), 20u);
    const Bytes lcd = Exchange(lcdPollFrame, 70);
    ASSERT_EQ(lcd.size(), 70u);
    EXPECT_EQ(std::string(lcd.begin() + 34, lcd.begin() + 45), "CHANNEL 007");
}

TEST_F(SimLine, NeverReadyAndReadyDelay)
{
    Begin({"--never-ready"});
    Send(imageSendStartFrame);
    EXPECT_FALSE(port.WaitForInput(300));
    // The PC gives up and polls: the radio answers as usual.
    EXPECT_EQ(Exchange(statusPollFrame, 20).size(), 20u);

    TearDown();
    Begin({"--ready-delay", "200"});
    const auto start = SteadyClock::now();
    Send(imageSendStartFrame);
    ASSERT_EQ(Receive(1, 1000), Bytes{FLOW_BYTE});
    EXPECT_GE(MsSince(start), 190.0);
}

TEST_F(SimLine, LinkIsMadeReplacingAStaleFileAndRemoved)
{
    const std::string dir = ::testing::TempDir() + "/radiosim-link-" + std::to_string(::getpid());
    const std::string link = dir + "/ports/COM1";
    ::mkdir(dir.c_str(), 0755);
    ::mkdir((dir + "/ports").c_str(), 0755);
    std::ofstream(link) << "stale";
    {
        SimProcess s({}, link);
        ASSERT_TRUE(s.Started()) << s.Error();
        char target[256] = {};
        ASSERT_GT(::readlink(link.c_str(), target, sizeof target - 1), 0);
        EXPECT_EQ(std::string(target), s.SlavePath());
        EXPECT_EQ(s.Stop(), 0);
    }
    struct stat st {};
    EXPECT_NE(::lstat(link.c_str(), &st), 0);
    ::rmdir((dir + "/ports").c_str());
    ::rmdir(dir.c_str());
}

TEST_F(SimLine, ClientCanCloseAndReopen)
{
    Begin();
    ASSERT_EQ(Exchange(statusPollFrame, 20).size(), 20u);
    port.Close();
    ASSERT_TRUE(port.Open(sim->Path().c_str(), 115200, 'N', 8, 1, true, true)) << port.LastError().text;
    EXPECT_EQ(Exchange(statusPollFrame, 20).size(), 20u);
}

TEST_F(SimLine, HangupAfterEndsTheLine)
{
    Begin({"--hangup-after", "200"});
    EXPECT_EQ(Exchange(statusPollFrame, 20).size(), 20u);
    EXPECT_EQ(sim->WaitForExit(3000), 0);
    EXPECT_TRUE(port.HungUp());
    struct stat st {};
    EXPECT_NE(::lstat(sim->Path().c_str(), &st), 0) << "the link is removed";
}

TEST_F(SimLine, FloodThenNormal)
{
    Begin({"--flood", "1"});
    const Bytes noise = ReceiveUntilQuiet(100, 1 << 20);
    // About a second of line speed, then quiet.
    EXPECT_GT(noise.size(), 5000u);
    EXPECT_LT(noise.size(), 14000u);
    EXPECT_EQ(Exchange(statusPollFrame, 20).size(), 20u);
}

TEST(SimProcessStart, BadImageSizeIsRefused)
{
    const std::string file = ::testing::TempDir() + "/radiosim-bad-" + std::to_string(::getpid()) + ".bin";
    std::ofstream(file, std::ios::binary) << std::string(133, 'x');
    SimProcess s({"--image", file});
    EXPECT_FALSE(s.Started());
    EXPECT_NE(s.Error().find("133"), std::string::npos) << s.Error();
    EXPECT_EQ(s.WaitForExit(2000), 1);
    ::unlink(file.c_str());
}

} // namespace
