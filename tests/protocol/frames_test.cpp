#include "protocol/frames.h"
#include "protocol/lcdtext.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <iterator>
#include <optional>
#include <set>
#include <string_view>
#include <vector>

namespace {

template <size_t N>
std::vector<uint8_t> Bytes(const std::array<uint8_t, N>& frame)
{
    return {frame.begin(), frame.end()};
}

TEST(Frames, KeyFrames)
{
    const struct {
        KeyCode code;
        std::vector<uint8_t> frame;
    } cases[] = {
        {15, {0x02, 0x4B, 0x0F, 0x03, 0x5D}}, // SCAN
        {36, {0x02, 0x4B, 0x24, 0x03, 0x72}}, // CL
        {1, {0x02, 0x4B, 0x01, 0x03, 0x4F}},  // FUNC
        {0xC0, {0x02, 0x4B, 0xC0, 0x03, 0x0E}}, // the checksum wraps at 256
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Bytes(KeyFrame(c.code)), c.frame) << int(c.code);
    }
}

TEST(Frames, TuneFrameCarriesTruncatedHertzLittleEndian)
{
    EXPECT_EQ(Bytes(TuneFrame(25000000, 2)), (std::vector<uint8_t>{0x02, 0x54, 0x40, 0x78, 0x7D, 0x01, 0x02, 0x03, 0x8F}));
    const auto frame = TuneFrame(*TuneHzOfMHz(32.01), 1);
    EXPECT_EQ(std::vector<uint8_t>(frame.begin() + 2, frame.begin() + 6), (std::vector<uint8_t>{0x0F, 0x6F, 0xE8, 0x01}));
    EXPECT_EQ(frame[6], 1);
    EXPECT_EQ(frame[8], Checksum(frame.data(), frame.size()));
    EXPECT_EQ(Bytes(TuneFrame(TUNE_HZ_MAX, 0)),
              (std::vector<uint8_t>{0x02, 0x54, 0xFF, 0xFF, 0xFF, 0xFF, 0x00, 0x03, 0x53}));
    // Only the low byte of the modulation index goes out.
    EXPECT_EQ(TuneFrame(25000000, 0x102)[6], 0x02);
}

// Megahertz become hertz as the panel has always computed them, and nothing
// the frame cannot carry becomes hertz at all.
TEST(Frames, OnlyFrequenciesTheFrameCarriesBecomeHertz)
{
    const struct {
        double mhz;
        std::optional<uint32_t> hz;
    } cases[] = {
        {25.0, 25000000u},
        {32.01, 32009999u},            // just below 32 010 000 in double precision
        {0.0, 0u},           {-0.0, 0u},
        {0.0000009, 0u},               // truncated, not rounded
        {4294.967295, TUNE_HZ_MAX},
        {4294.9672959, TUNE_HZ_MAX},   // truncated to 4 294 967 295 Hz
        {4294.967296, std::nullopt}, {9999.0, std::nullopt},    {-0.000001, std::nullopt},
        {-5.0, std::nullopt},        {std::nan(""), std::nullopt}, {HUGE_VAL, std::nullopt},
        {-HUGE_VAL, std::nullopt},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(TuneHzOfMHz(c.mhz), c.hz) << c.mhz;
    }
}

TEST(Frames, FixedFramesAndTheirChecksums)
{
    EXPECT_EQ(Bytes(statusPollFrame), (std::vector<uint8_t>{0x02, 0x41, 0x03, 0x44}));
    EXPECT_EQ(Bytes(lcdPollFrame), (std::vector<uint8_t>{0x02, 0x4C, 0x03, 0x4F}));
    EXPECT_EQ(Bytes(imageSendStartFrame), (std::vector<uint8_t>{0x02, 0x50, 0x03, 0x03, 0x56}));
    EXPECT_EQ(Bytes(imageReceiveStartFrame), (std::vector<uint8_t>{0x02, 0x50, 0x01, 0x03, 0x54}));
    EXPECT_EQ(FLOW_BYTE, 0x45);
}

TEST(KeyTable, ThirtyFourKeysWithUniqueCodesAndCaptions)
{
    std::set<int> codes;
    std::set<std::string_view> captions;
    for (const KeyDef& key : keyTable) {
        codes.insert(key.code);
        captions.insert(key.caption);
        EXPECT_GE(key.code, 1);
        EXPECT_LE(key.code, 36);
    }
    EXPECT_EQ(codes.size(), 34u);
    EXPECT_EQ(captions.size(), 34u);
    for (const int absent : {0, 13, 20, 37, 38, 255}) {
        EXPECT_FALSE(KeyByCode(static_cast<KeyCode>(absent)).has_value()) << absent;
    }
}

TEST(KeyTable, LookupsAgree)
{
    // The radio's codes, key by key, as the radio knows them: a key sent as
    // its neighbour presses the wrong key.
    const struct {
        const char* caption;
        KeyCode code;
    } keys[] = {
        {"FUNC", 1}, {"R", 2}, {"MAN", 3}, {"FAV", 4}, {"L/OUT", 5}, {"PSE", 6}, {"U", 7},
        {"SEL", 8}, {"D", 9}, {"SRCH", 10}, {"PRI", 11}, {"PGM", 12}, {"L", 14}, {"SCAN", 15},
        {"TUNE", 16}, {"WX", 17}, {"ENT", 18}, {"F3", 19}, {"3", 21}, {"6", 22}, {"9", 23},
        {".", 24}, {"F2", 25}, {"ATT", 26}, {"2", 27}, {"5", 28}, {"8", 29}, {"0", 30},
        {"F1", 31}, {"LIGHT", 32}, {"1", 33}, {"4", 34}, {"7", 35}, {"CL", 36},
    };
    ASSERT_EQ(std::size(keys), keyTable.size());
    for (const auto& c : keys) {
        const auto byCaption = KeyByCaption(c.caption);
        ASSERT_TRUE(byCaption.has_value()) << c.caption;
        EXPECT_EQ(byCaption->code, c.code) << c.caption;
        EXPECT_EQ(KeyByCode(c.code)->caption, c.caption);
    }
    EXPECT_FALSE(KeyByCaption("scan").has_value());
    // By name, in any case, the caption whole: what a command line types.
    EXPECT_EQ(KeyByName("scan")->code, 15);
    EXPECT_EQ(KeyByName("l/Out")->code, 5);
    EXPECT_EQ(KeyByName("f1")->code, 31);
    EXPECT_FALSE(KeyByName("sca").has_value());
    EXPECT_FALSE(KeyByName("scann").has_value());
    EXPECT_FALSE(KeyByName("").has_value());
}

// A display row in words: UTF-8 of the nearest characters, up to the first
// zero code; the icons by name and the bars as a count.
TEST(LcdText, RowsAndIcons)
{
    LcdImage lcd;
    const uint8_t row[16] = {'C', 'H', ' ', 0x80, 0xE0, 0x01, 0x03, 0x07, 0xF8, 0x00, 'X', 'Y'};
    std::copy(std::begin(row), std::end(row), lcd.rows[0]);
    EXPECT_EQ(lcdtext::RowText(lcd.rows[0]), "CH \u00C7\u03B1\U0001F512\u2582\u2586\u00B0");
    EXPECT_EQ(lcdtext::RowHex(lcd.rows[0]), "43482080E0010307F800585900000000") << "all 16 codes";
    std::fill(std::begin(lcd.rows[1]), std::begin(lcd.rows[1]) + 16, 'A');
    EXPECT_EQ(lcdtext::RowText(lcd.rows[1]), std::string(16, 'A')) << "a full row has no zero";

    lcd.iconFlagsA = 0x08 | 0x20 | 0x05; // S, battery (either bit), five bars
    lcd.iconFlagsB = 0x01 | 0x08 | 0x20 | 0x40;
    EXPECT_EQ(lcdtext::SignalBars(lcd), 5);
    const std::vector<std::string_view> shown = lcdtext::ShownIcons(lcd);
    EXPECT_EQ(shown, (std::vector<std::string_view>{"F", "padlock", "S", "battery", "down"}));
}

} // namespace
