#include "sim/faults.h"
#include "sim/options.h"
#include "sim/radiomodel.h"
#include "sim/simserver.h"

#include "protocol/frames.h"

#include <gtest/gtest.h>

namespace {

using sim::RadioModel;

KeyCode Code(std::string_view caption)
{
    return KeyByCaption(caption)->code;
}

void Press(RadioModel& radio, std::initializer_list<std::string_view> captions)
{
    for (auto c : captions) {
        radio.OnKey(Code(c));
    }
}

uint32_t U32(const uint8_t* p)
{
    return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

TEST(RadioModel, DigitsAndEnterTuneTheTypedFrequency)
{
    RadioModel radio;
    Press(radio, {"1", "6", "2", ".", "5", "5"});
    EXPECT_EQ(radio.Row(1).substr(0, 8), ">162.55_");
    radio.OnKey(Code("ENT"));
    EXPECT_EQ(radio.frequencyHz, 162550000u);
    EXPECT_EQ(radio.mode, sim::Mode::Tune);
    EXPECT_EQ(radio.Row(1), " 162.5500 MHz   ");
    EXPECT_EQ(radio.Row(0).substr(0, 4), "TUNE");
}

TEST(RadioModel, EntryEdgeCases)
{
    struct Case {
        std::vector<std::string_view> keys;
        uint32_t hz;          // expected frequency afterwards, 0: unchanged
        const char* row2;     // start of row 3 afterwards
    };
    const std::vector<Case> cases = {
        {{"1", "2", "CL", "4", "4", "6", ".", "5", "ENT"}, 446500000, nullptr},  // CL clears the entry
        {{".", "ENT"}, 0, "INVALID FREQ"},
        {{"9", "9", "9", "9", ".", "ENT"}, 0, "INVALID FREQ"},                  // above 4294.967295 MHz
        {{"3", "ENT"}, 155000000, "CHANNEL 003"},                                // a bare number is a channel
        {{"9", "9", "9", "ENT"}, 0, "NO CHANNEL"},
        {{"1", ".", "2", ".", "5", "ENT"}, 1250000, nullptr},                    // a second dot is ignored
    };
    for (size_t i = 0; i < cases.size(); ++i) {
        RadioModel radio;
        const uint32_t before = radio.frequencyHz;
        for (auto k : cases[i].keys) {
            radio.OnKey(Code(k));
        }
        EXPECT_EQ(radio.frequencyHz, cases[i].hz ? cases[i].hz : before) << "case " << i;
        if (cases[i].row2 != nullptr) {
            EXPECT_EQ(radio.Row(2).rfind(cases[i].row2, 0), 0u) << "case " << i << ": " << radio.Row(2);
        }
        EXPECT_TRUE(radio.entry.empty()) << "case " << i;
    }
}

TEST(RadioModel, IconKeys)
{
    RadioModel radio;
    EXPECT_EQ(radio.IconFlagsB() & sim::ICON_B_LIGHT, 0);
    radio.OnKey(Code("LIGHT"));
    EXPECT_EQ(radio.LcdReply()[67] & 0x40, 0x40);
    radio.OnKey(Code("LIGHT"));
    EXPECT_EQ(radio.LcdReply()[67] & 0x40, 0);

    // F shows until the next key, whatever that key is.
    radio.OnKey(Code("FUNC"));
    EXPECT_EQ(radio.LcdReply()[67] & 0x01, 0x01);
    radio.OnKey(Code("LIGHT"));
    EXPECT_EQ(radio.LcdReply()[67] & 0x01, 0);

    radio.OnKey(Code("ATT"));
    EXPECT_EQ(radio.LcdReply()[67] & 0x04, 0x04);
    radio.OnKey(Code("ATT"));
    EXPECT_EQ(radio.LcdReply()[67] & 0x04, 0);
}

TEST(RadioModel, LockedKeypadTakesOnlyLockAndLight)
{
    RadioModel radio;
    radio.OnKey(Code("L/OUT"));
    EXPECT_EQ(radio.IconFlagsB() & sim::ICON_B_LOCK, sim::ICON_B_LOCK);
    Press(radio, {"WX", "1", "ENT"});
    EXPECT_EQ(radio.mode, sim::Mode::Scan);
    radio.OnKey(Code("LIGHT"));
    EXPECT_TRUE(radio.backlight);
    radio.OnKey(Code("L/OUT"));
    radio.OnKey(Code("WX"));
    EXPECT_EQ(radio.mode, sim::Mode::Wx);
    EXPECT_EQ(radio.StatusBlock()[0], 5);
}

TEST(RadioModel, ModeKeysSetTheModeIndex)
{
    const std::vector<std::pair<std::string_view, uint8_t>> table = {
        {"TUNE", 0}, {"SCAN", 1}, {"MAN", 2}, {"PGM", 3}, {"SRCH", 4}, {"WX", 5}, {"FAV", 7}, {"PRI", 2}};
    for (const auto& [key, index] : table) {
        RadioModel radio;
        radio.OnKey(Code(key));
        EXPECT_EQ(radio.StatusBlock()[0], index) << key;
        EXPECT_EQ(radio.Row(0).rfind(sim::ModeName(radio.mode), 0), 0u) << key;
    }
}

TEST(RadioModel, ArrowsStepChannelsAndFrequencies)
{
    RadioModel radio;
    radio.OnKey(Code("MAN"));
    const int first = radio.channel;
    radio.OnKey(Code("U"));
    EXPECT_EQ(radio.channel, first + 1);
    radio.OnKey(Code("D"));
    radio.OnKey(Code("D"));
    EXPECT_EQ(radio.channel, (first + radio.ChannelCount() - 1) % radio.ChannelCount());

    radio.OnTune(100000000, 1);
    radio.OnKey(Code("U"));
    EXPECT_EQ(radio.frequencyHz, 100000000u + radio.stepHz);
    radio.OnKey(Code("L"));
    EXPECT_EQ(radio.frequencyHz, 100000000u);
}

TEST(RadioModel, TuneFrameSetsFrequencyAndModulation)
{
    // Tune-frame numbering 0 AM, 1 FM, 2 Auto; the status counts 0 AM, 1 FM, 2 NFM, 3 AUTO.
    const std::vector<std::pair<uint8_t, uint8_t>> modulations = {{0, 0}, {1, 1}, {2, 3}, {9, 3}};
    for (const auto& [tune, status] : modulations) {
        RadioModel radio;
        radio.OnTune(150136336, tune);
        const auto block = radio.StatusBlock();
        EXPECT_EQ(U32(&block[11]), 150136336u);
        EXPECT_EQ(block[15], status) << int(tune);
        EXPECT_EQ(block[0], 0);
        EXPECT_EQ(radio.Row(1), " 150.1363 MHz   ");
    }
}

TEST(RadioModel, StatusFieldsSitAtTheirOffsetsLittleEndian)
{
    RadioModel radio;
    radio.batteryCentiVolts = 735;
    radio.rssi = 0x0123;
    radio.centering = 0x0456;
    radio.OnTune(0x01E86F0F, 1);
    const auto reply = radio.StatusReply();
    ASSERT_EQ(reply.size(), 20u);
    EXPECT_EQ(reply[0], STX);
    EXPECT_EQ(reply[1], CMD_STATUS);
    const uint8_t expected[] = {0x00, 0x02, 0xDF, 0x02, 0x23, 0x01, 0x56, 0x04};
    EXPECT_TRUE(std::equal(std::begin(expected), std::end(expected), reply.begin() + 2));
    EXPECT_EQ((std::vector<uint8_t>(reply.begin() + 13, reply.begin() + 17)),
              (std::vector<uint8_t>{0x0F, 0x6F, 0xE8, 0x01}));
    EXPECT_EQ(reply[17], 1);
    EXPECT_EQ(reply[18], ETX);
    EXPECT_EQ(reply[19], Checksum(reply.data(), reply.size()));
}

TEST(RadioModel, LcdReplyLayout)
{
    RadioModel radio;
    const auto reply = radio.LcdReply();
    ASSERT_EQ(reply.size(), 70u);
    EXPECT_EQ(reply[0], STX);
    EXPECT_EQ(reply[1], CMD_LCD);
    for (int r = 0; r < 4; ++r) {
        EXPECT_EQ(std::string(reply.begin() + 2 + 16 * r, reply.begin() + 18 + 16 * r), radio.Row(r));
    }
    for (int i = 2; i < 66; ++i) {
        EXPECT_TRUE(reply[i] >= 0x20 && reply[i] <= 0x7E) << "byte " << i;
    }
    EXPECT_EQ(reply[66], radio.IconFlagsA());
    EXPECT_EQ(reply[67], radio.IconFlagsB());
    EXPECT_EQ(reply[68], ETX);
    EXPECT_EQ(reply[69], Checksum(reply.data(), reply.size()));
}

TEST(RadioModel, TimeMovesSignalBatteryAndLampDeterministically)
{
    RadioModel a(7);
    RadioModel b(7);
    bool sawSignal = false;
    bool sawQuiet = false;
    for (int i = 0; i < 2000; ++i) {
        a.Tick();
        b.Tick();
        ASSERT_EQ(a.StatusReply(), b.StatusReply()) << "tick " << i;
        ASSERT_EQ(a.LcdReply(), b.LcdReply()) << "tick " << i;
        const auto block = a.StatusBlock();
        const int bars = a.IconFlagsA() & sim::ICON_A_BARS_MASK;
        if (a.signal) {
            sawSignal = true;
            EXPECT_EQ(block[9], 255);
            EXPECT_EQ(block[8], 0);
            EXPECT_EQ(block[1] & sim::IND_RF_SQ, sim::IND_RF_SQ);
        } else {
            sawQuiet = true;
            EXPECT_EQ(block[8], 255);
            EXPECT_EQ(bars, 0);
        }
        EXPECT_EQ(block[10] & 0xF0, 0) << "only the low four bits of blue count";
    }
    EXPECT_TRUE(sawSignal);
    EXPECT_TRUE(sawQuiet);
    EXPECT_LT(a.batteryCentiVolts, 780);
    EXPECT_GE(a.batteryCentiVolts, 600);
}

TEST(RadioModel, ChannelsComeFromTheImage)
{
    std::vector<uint8_t> image = sim::DefaultImage(2);
    ASSERT_EQ(image.size(), 2u * IMAGE_RECORD_SIZE);
    image[IMAGE_RECORD_SIZE + 0] = 0x40; // 25 000 000 Hz in record 2
    image[IMAGE_RECORD_SIZE + 1] = 0x78;
    image[IMAGE_RECORD_SIZE + 2] = 0x7D;
    image[IMAGE_RECORD_SIZE + 3] = 0x01;
    image[IMAGE_RECORD_SIZE + 5] = 0x07; // unprintable name bytes show as spaces
    RadioModel radio;
    radio.SetImage(image);
    Press(radio, {"2", "ENT"});
    EXPECT_EQ(radio.frequencyHz, 25000000u);
    EXPECT_EQ(radio.Row(2)[0], ' ');
    EXPECT_EQ(radio.ChannelCount(), 2);
}

// A scanner stops on each scripted call at once, shows its channel, level
// and modulation, and moves on when it ends; tuned elsewhere it hears only
// what is on its own frequency.
TEST(RadioModel, HearsScriptedCallsAndScansOnWhenTheyEnd)
{
    std::vector<sim::Transmission> script;
    std::string error;
    ASSERT_TRUE(sim::ParseActivityScript("# start MHz mod s strength\n"
                                         "1.0, 144.0125, fm, 1.2, 620   # channel 7\n"
                                         "\n"
                                         "0.5 999.5 AM 10 300\n",
                                         script, error))
        << error;
    ASSERT_EQ(script.size(), 2u);
    EXPECT_EQ(script[0], (sim::Transmission{500, 10000, 999500000, sim::Modulation::Am, 300}));

    RadioModel radio;
    radio.SetScriptedTraffic(script);
    radio.Listen(900);
    EXPECT_FALSE(radio.signal) << "999.5 MHz is no channel of the image";
    radio.Listen(1000);
    ASSERT_TRUE(radio.signal);
    EXPECT_EQ(radio.channel, 6);
    EXPECT_EQ(radio.Row(2), "CHANNEL 007     ");
    const auto block = radio.StatusBlock();
    EXPECT_EQ(block[1] & sim::IND_RF_SQ, sim::IND_RF_SQ);
    EXPECT_EQ(U32(&block[11]), 144012500u);
    EXPECT_EQ(block[15], static_cast<uint8_t>(sim::Modulation::Fm));
    EXPECT_EQ(block[4] | (block[5] << 8), 620);
    for (int i = 0; i < 8; ++i) {
        radio.Tick(); // to 2000 ms: still on the call, its level within 2 %
        EXPECT_EQ(radio.channel, 6);
        EXPECT_NEAR(radio.rssi, 620, 12);
    }
    radio.Listen(2199);
    EXPECT_TRUE(radio.signal);
    radio.Listen(2200);
    EXPECT_FALSE(radio.signal);
    EXPECT_LT(radio.rssi, 50);
    radio.Tick();
    EXPECT_EQ(radio.channel, 7) << "scanning goes on";

    // In the other modes only the frequency tuned to is heard; searching
    // finds the call anywhere.
    RadioModel tuned;
    tuned.SetScriptedTraffic(script);
    tuned.OnTune(144012500, 1);
    tuned.Listen(600);
    EXPECT_FALSE(tuned.signal);
    tuned.Listen(1100);
    EXPECT_TRUE(tuned.signal);
    tuned.OnKey(Code("SRCH"));
    tuned.Listen(1200);
    EXPECT_EQ(tuned.frequencyHz, 144012500u) << "a search stays on the call it hears";
    tuned.Listen(2300);
    EXPECT_TRUE(tuned.signal);
    EXPECT_EQ(tuned.frequencyHz, 999500000u);

    for (const char* bad : {"1 144 FM 1", "x 144 FM 1 5", "1 0 FM 1 5", "1 144 SSB 1 5", "1 144 FM 0 5",
                            "1 144 FM 1 70000", "1 144 FM 1 5x"}) {
        EXPECT_FALSE(sim::ParseActivityScript(std::string("\n") + bad, script, error)) << bad;
        EXPECT_EQ(error.rfind("line 2: ", 0), 0u) << error;
    }
}

TEST(Options, ParsesSwitchesAndRefusesBadValues)
{
    sim::SimOptions o;
    std::string error;
    ASSERT_TRUE(sim::ParseOptions({"--link", "/tmp/x", "--trace", "--drop", "30", "--pause-at", "264", "--pause-ms",
                                   "600", "--never-ready", "--seed", "9", "--traffic", "30", "--activity", "calls.txt"},
                                  o, error))
        << error;
    EXPECT_EQ(o.linkPath, "/tmp/x");
    EXPECT_TRUE(o.trace);
    EXPECT_EQ(o.dropPercent, 30);
    EXPECT_EQ(o.pauseAt, 264);
    EXPECT_EQ(o.pauseMs, 600);
    EXPECT_TRUE(o.neverReady);
    EXPECT_EQ(o.seed, 9u);
    EXPECT_EQ(o.trafficPerMinute, 30);
    EXPECT_EQ(o.activityFile, "calls.txt");

    for (const std::vector<std::string>& bad : std::vector<std::vector<std::string>>{
             {"--drop", "101"}, {"--delay", "-1"}, {"--junk", "x"}, {"--link"}, {"--frobnicate"},
             {"--pause-ms", "100"}, {"--records", "12abc"}, {"--traffic", "601"}}) {
        sim::SimOptions ignored;
        EXPECT_FALSE(sim::ParseOptions(bad, ignored, error)) << bad[0];
        EXPECT_FALSE(error.empty());
    }
}

TEST(ReplyFaults, EachSwitchShapesTheReply)
{
    const auto status = RadioModel().StatusReply();
    const sim::Bytes reply(status.begin(), status.end());
    struct Case {
        const char* name;
        void (*set)(sim::SimOptions&);
        bool lost;
        size_t size;
    };
    const Case cases[] = {
        {"none", [](sim::SimOptions&) {}, false, 20},
        {"no reply", [](sim::SimOptions& o) { o.noReply = true; }, true, 0},
        {"drop all", [](sim::SimOptions& o) { o.dropPercent = 100; }, true, 0},
        {"truncate", [](sim::SimOptions& o) { o.truncate = 7; }, false, 7},
        {"junk", [](sim::SimOptions& o) { o.junk = 5; }, false, 25},
        {"wrong letter", [](sim::SimOptions& o) { o.wrongLetter = true; }, false, 20},
    };
    for (const Case& c : cases) {
        sim::SimOptions o;
        c.set(o);
        sim::ReplyFaults faults(o, 1);
        const auto shaped = faults.Shape(reply);
        EXPECT_EQ(!shaped.has_value(), c.lost) << c.name;
        if (shaped) {
            EXPECT_EQ(shaped->size(), c.size) << c.name;
        }
    }
    sim::SimOptions o;
    o.wrongLetter = true;
    sim::ReplyFaults faults(o, 1);
    const auto wrong = *faults.Shape(reply);
    EXPECT_NE(wrong[1], CMD_STATUS);
    EXPECT_EQ(wrong.back(), Checksum(wrong.data(), wrong.size()));
}

TEST(ReplyFaults, DropShareIsRoughlyAsAskedAndRepeatable)
{
    sim::SimOptions o;
    o.dropPercent = 30;
    sim::ReplyFaults a(o, 5);
    sim::ReplyFaults b(o, 5);
    int lost = 0;
    for (int i = 0; i < 1000; ++i) {
        const bool lostA = !a.Shape({1, 2, 3}).has_value();
        ASSERT_EQ(lostA, !b.Shape({1, 2, 3}).has_value());
        lost += lostA;
    }
    EXPECT_GT(lost, 200);
    EXPECT_LT(lost, 400);
    const auto junk = a.Junk(5000);
    EXPECT_EQ(std::count(junk.begin(), junk.end(), STX), 0);
    EXPECT_EQ(std::count(junk.begin(), junk.end(), FLOW_BYTE), 0);
}

TEST(Trace, LineFormat)
{
    EXPECT_EQ(sim::TraceLine(42, true, statusPollFrame.data(), 4), "       42 ms  PC->RADIO  02 41 03 44");
    const uint8_t bytes[] = {0x02, 0xAB};
    EXPECT_EQ(sim::TraceLine(123456789, false, bytes, 2), "123456789 ms  RADIO->PC  02 AB");
}

} // namespace
