#include "protocol/frames.h"
#include "protocol/tracerecorder.h"
#ifdef OSTRELLE_HAVE_SIM
#include "sim/simserver.h"
#endif

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include <string>
#include <vector>

namespace {

class StepClock final : public Clock {
public:
    uint32_t now = 5000;
    uint32_t TickCount() override { return now; }
    void Sleep(uint32_t ms) override { now += ms; }
};

std::vector<std::string> Lines(const std::string& text)
{
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        const size_t end = text.find('\n', start);
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

struct Fixture {
    StepClock clock;
    TraceRecorder trace{clock};
    Fixture() { trace.Start(); }
    void Send(const std::vector<uint8_t>& bytes) { trace.OnTraffic(TrafficDirection::ToRadio, bytes.data(), bytes.size()); }
    void Receive(const std::vector<uint8_t>& bytes)
    {
        trace.OnTraffic(TrafficDirection::FromRadio, bytes.data(), bytes.size());
    }
    void Poll(const std::vector<uint8_t>& reply)
    {
        Send({statusPollFrame.begin(), statusPollFrame.end()});
        clock.now += 2;
        Receive(reply);
        clock.now += 10;
    }
};

} // namespace

TEST(TraceRecorder, LineFormatMatchesTheSimulators)
{
    const uint8_t bytes[] = {0x02, 0x4B, 0x0F, 0x03, 0x5D};
    EXPECT_EQ(TraceRecorder::FormatLine(1234, TrafficDirection::ToRadio, bytes, sizeof bytes),
              "     1234 ms  PC->RADIO  02 4B 0F 03 5D\n");
    EXPECT_EQ(TraceRecorder::FormatLine(0, TrafficDirection::FromRadio, bytes, 1), "        0 ms  RADIO->PC  02\n");
#ifdef OSTRELLE_HAVE_SIM
    // radiosim writes its own lines; both must stay one format, so that the
    // two traces of a session can be laid side by side.
    for (const uint32_t ms : {0u, 7u, 4294967295u}) {
        for (const bool fromPc : {true, false}) {
            const auto direction = fromPc ? TrafficDirection::ToRadio : TrafficDirection::FromRadio;
            EXPECT_EQ(sim::TraceLine(ms, fromPc, bytes, sizeof bytes) + "\n",
                      TraceRecorder::FormatLine(ms, direction, bytes, sizeof bytes));
        }
    }
#endif
}

TEST(TraceRecorder, ReplyPiecesJoinButFramesStayApart)
{
    Fixture f;
    f.Send({0x02, 0x4B, 0x0F, 0x03, 0x5D});
    f.Send({0x02, 0x4B, 0x0F, 0x03, 0x5D});
    f.clock.now += 1;
    f.Receive({0x02, 0x41});
    f.clock.now += 2;
    f.Receive({0x07, 0x08});
    f.clock.now += 20;
    f.Receive({0x45});
    const auto lines = Lines(f.trace.TakeLines(true));
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[0], "        0 ms  PC->RADIO  02 4B 0F 03 5D  # key SCAN");
    EXPECT_EQ(lines[1], "        0 ms  PC->RADIO  02 4B 0F 03 5D  # key SCAN");
    EXPECT_EQ(lines[2], "        1 ms  RADIO->PC  02 41 07 08");
    EXPECT_EQ(lines[3], "       23 ms  RADIO->PC  45");
}

TEST(TraceRecorder, RepeatedPollsAreCountedAndTheTraceStaysSmall)
{
    Fixture f;
    const std::vector<uint8_t> reply(20, 0x11);
    for (int i = 0; i < 10000; ++i) {
        f.Poll(reply);
    }
    std::vector<uint8_t> changed = reply;
    changed[5] = 0x22;
    f.Poll(changed);
    const std::string text = f.trace.TakeLines(true);
    const auto lines = Lines(text);
    // The first exchange in full, one count line, then the changed exchange.
    ASSERT_EQ(lines.size(), 5u) << text;
    EXPECT_NE(lines[2].find("9999 more times"), std::string::npos) << lines[2];
    EXPECT_NE(lines[4].find("11 22 11"), std::string::npos);
    EXPECT_LT(text.size(), 1000u);
}

TEST(TraceRecorder, APollWithoutReplyIsShownAndBreaksTheCount)
{
    Fixture f;
    const std::vector<uint8_t> reply(20, 0x11);
    f.Poll(reply);
    f.Poll(reply);
    f.Send({statusPollFrame.begin(), statusPollFrame.end()});
    f.clock.now += 100;
    f.Send({0x02, 0x4B, 0x01, 0x03, 0x4F});
    f.Poll(reply);
    f.Send({statusPollFrame.begin(), statusPollFrame.end()});
    const auto lines = Lines(f.trace.TakeLines(true));
    // poll, reply, "1 more", lone poll, key, poll, reply in full again, and
    // the poll still unanswered when the trace ends
    ASSERT_EQ(lines.size(), 8u);
    EXPECT_NE(lines[2].find("(once more, the same reply)"), std::string::npos);
    EXPECT_EQ(lines[3].substr(14), "PC->RADIO  02 41 03 44");
    EXPECT_EQ(lines[4].substr(14), "PC->RADIO  02 4B 01 03 4F  # key FUNC");
    EXPECT_EQ(lines[6].substr(14, 9), "RADIO->PC");
    EXPECT_EQ(lines[7].substr(14), "PC->RADIO  02 41 03 44");
}

TEST(TraceRecorder, PendingLinesAreBounded)
{
    Fixture f;
    std::vector<uint8_t> record(132, 0x5A);
    for (int i = 0; i < 20000; ++i) {
        f.Send(record);
    }
    const std::string text = f.trace.TakeLines(true);
    EXPECT_LE(text.size(), TraceRecorder::kMaxPending + 200);
    EXPECT_NE(text.find("bytes of lines dropped"), std::string::npos);
    EXPECT_EQ(f.trace.TakeLines(true), "");
}

TEST(TraceRecorder, LinesStandInTimeOrderAndKeyAndTuneFramesSayWhatTheyMean)
{
    Fixture f;
    std::vector<uint8_t> lcd(70, 0x20);
    const auto bytes = [](const auto& frame) { return std::vector<uint8_t>(frame.begin(), frame.end()); };
    const std::vector<std::vector<uint8_t>> frames = {
        bytes(KeyFrame(15)),
        bytes(TuneFrame(146520000, 2)),
        bytes(TuneFrame(500000, 0)),
        {0x02, 0x4B, 0x63, 0x03, 0xB1},                         // a code of no key
        {0x02, 0x54, 0x00, 0x00, 0x00, 0x00, 0x07, 0x03, 0x5E}, // a modulation of no name
        {0x02, 0x4B, 0x0F, 0x03, 0x00},                         // a wrong checksum
    };
    // Both polls repeat, so that counts of both are pending whenever a frame
    // or a changed display is due; lines are taken between the rounds, as
    // the window's timer takes them.
    std::string text;
    for (size_t round = 0; round < frames.size(); ++round) {
        for (int i = 0; i < 5; ++i) {
            f.Poll(std::vector<uint8_t>(20, 0x11));
            f.Send({lcdPollFrame.begin(), lcdPollFrame.end()});
            f.clock.now += 3;
            f.Receive(lcd);
            f.clock.now += 10;
        }
        f.Send(frames[round]);
        lcd[10] = static_cast<uint8_t>(round / 2);
        text += f.trace.TakeLines();
    }
    text += f.trace.TakeLines(true);
    const auto lines = Lines(text);
    for (size_t i = 1; i < lines.size(); ++i) {
        EXPECT_LE(std::stoul(lines[i - 1].substr(0, 9)), std::stoul(lines[i].substr(0, 9))) << i << "\n" << text;
    }
    for (const char* ending : {"02 4B 0F 03 5D  # key SCAN", "02 54 C0 B7 BB 08 02 03 93  # tune 146.520000 MHz Auto",
                               "# tune 0.500000 MHz AM", "02 4B 63 03 B1  # key code 99",
                               "# tune 0.000000 MHz modulation 7", "PC->RADIO  02 4B 0F 03 00"}) {
        EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                                [&](const std::string& line) {
                                    return line.size() >= std::strlen(ending) &&
                                           line.compare(line.size() - std::strlen(ending), std::string::npos,
                                                        ending) == 0;
                                }),
                  1)
            << ending << "\n" << text;
    }
}
