#include "frames.h"
#include "tracerecorder.h"
#ifdef OSTRELLE_HAVE_SIM
#include "simserver.h"
#endif

#include <gtest/gtest.h>

#include <algorithm>

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
    const auto lines = Lines(f.trace.TakeLines(true));
    // poll, reply, "1 more", lone poll, key, poll, reply in full again
    ASSERT_EQ(lines.size(), 7u);
    EXPECT_NE(lines[2].find("1 more times"), std::string::npos);
    EXPECT_EQ(lines[3].substr(14), "PC->RADIO  02 41 03 44");
    EXPECT_EQ(lines[4].substr(14), "PC->RADIO  02 4B 01 03 4F  # key FUNC");
    EXPECT_EQ(lines[6].substr(14, 9), "RADIO->PC");
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

namespace {

uint32_t TimeOf(const std::string& line)
{
    return static_cast<uint32_t>(std::stoul(line.substr(0, 9)));
}

} // namespace

TEST(TraceRecorder, LinesStandInTimeOrderAndKeyAndTuneFramesSayWhatTheyMean)
{
    Fixture f;
    const std::vector<uint8_t> status(20, 0x11);
    std::vector<uint8_t> lcd(70, 0x20);
    const auto lcdPoll = [&] {
        f.Send({lcdPollFrame.begin(), lcdPollFrame.end()});
        f.clock.now += 3;
        f.Receive(lcd);
        f.clock.now += 10;
    };
    std::string text;
    // Both polls repeat; a key, a tune and changed displays come between, so
    // that counts of both polls are pending whenever another line is due.
    for (int round = 0; round < 6; ++round) {
        for (int i = 0; i < 5; ++i) {
            f.Poll(status);
            lcdPoll();
        }
        if (round == 1) {
            const auto key = KeyFrame(15);
            f.Send({key.begin(), key.end()});
        }
        if (round == 2) {
            const auto tune = TuneFrame(146.52, 2);
            f.Send({tune.begin(), tune.end()});
        }
        if (round == 3) {
            const auto tune = TuneFrame(0.5, 0);
            f.Send({tune.begin(), tune.end()});
        }
        if (round >= 3) {
            lcd[10] = static_cast<uint8_t>(round);
        }
        if (round == 4) {
            f.Send({0x02, 0x4B, 0x63, 0x03, 0xB1});
            f.Send({0x02, 0x54, 0x00, 0x00, 0x00, 0x00, 0x07, 0x03, 0x5E});
            f.Send({0x02, 0x4B, 0x0F, 0x03, 0x00});
        }
        // Taken as the window's timer takes them, between the rounds.
        text += f.trace.TakeLines();
    }
    text += f.trace.TakeLines(true);
    const auto lines = Lines(text);
    ASSERT_GT(lines.size(), 10u) << text;
    for (size_t i = 1; i < lines.size(); ++i) {
        EXPECT_LE(TimeOf(lines[i - 1]), TimeOf(lines[i])) << "line " << i << " of\n" << text;
    }
    const auto has = [&](const std::string& ending) {
        return std::any_of(lines.begin(), lines.end(), [&](const std::string& line) {
            return line.size() >= ending.size() && line.compare(line.size() - ending.size(), ending.size(), ending) == 0;
        });
    };
    EXPECT_TRUE(has("02 4B 0F 03 5D  # key SCAN")) << text;
    EXPECT_TRUE(has("02 54 C0 B7 BB 08 02 03 93  # tune 146.520000 MHz Auto")) << text;
    EXPECT_TRUE(has("# tune 0.500000 MHz AM")) << text;
    // Codes of no key, modulations of no name: what the frame says.
    EXPECT_TRUE(has("02 4B 63 03 B1  # key code 99")) << text;
    EXPECT_TRUE(has("# tune 0.000000 MHz modulation 7")) << text;
    // A frame whose checksum is wrong means nothing.
    EXPECT_TRUE(has("PC->RADIO  02 4B 0F 03 00")) << text;
    EXPECT_EQ(text.find("more times, the same reply each time)  #"), std::string::npos);
}
