#include "sim/frameparser.h"

#include "protocol/frames.h"

#include <gtest/gtest.h>

namespace {

using sim::Bytes;
using sim::Frame;
using sim::FrameParser;

struct Collected {
    std::vector<Frame> frames;
    Bytes junk;
};

Collected Parse(const Bytes& input, size_t chunk, FrameParser& parser)
{
    Collected out;
    parser.SetHandlers([&](const Frame& f) { out.frames.push_back(f); },
                       [&](const Bytes& j) { out.junk.insert(out.junk.end(), j.begin(), j.end()); });
    for (size_t i = 0; i < input.size(); i += chunk) {
        parser.Feed(input.data() + i, std::min(chunk, input.size() - i));
    }
    return out;
}

template <size_t N> Bytes B(const std::array<uint8_t, N>& a)
{
    return Bytes(a.begin(), a.end());
}

Bytes Cat(std::initializer_list<Bytes> parts)
{
    Bytes all;
    for (const auto& p : parts) {
        all.insert(all.end(), p.begin(), p.end());
    }
    return all;
}

struct ParseCase {
    const char* name;
    Bytes input;
    std::vector<uint8_t> letters; // of the good frames, in order
    uint32_t badChecksums;
};

class FrameParserCases : public ::testing::TestWithParam<ParseCase> {};

// Every case is also fed one byte at a time and in odd-sized pieces: a frame
// split across reads must come out the same.
TEST_P(FrameParserCases, FindsTheGoodFramesWhateverTheChunking)
{
    const ParseCase& c = GetParam();
    for (size_t chunk : {c.input.size(), size_t{1}, size_t{3}, size_t{7}}) {
        FrameParser parser;
        const Collected out = Parse(c.input, std::max<size_t>(1, chunk), parser);
        std::vector<uint8_t> letters;
        for (const auto& f : out.frames) {
            letters.push_back(f.letter);
        }
        EXPECT_EQ(letters, c.letters) << c.name << ", chunk " << chunk;
        EXPECT_EQ(parser.badChecksums, c.badChecksums) << c.name << ", chunk " << chunk;
    }
}

const Bytes kKeyScan = B(KeyFrame(15));
const Bytes kTune = B(TuneFrame(25000000, 2));

INSTANTIATE_TEST_SUITE_P(
    Frames, FrameParserCases,
    ::testing::Values(
        ParseCase{"each kind", Cat({B(lcdPollFrame), B(statusPollFrame), kKeyScan, kTune, B(imageSendStartFrame),
                                    B(imageReceiveStartFrame)}),
                  {CMD_LCD, CMD_STATUS, CMD_KEY, CMD_TUNE, CMD_CLONE, CMD_CLONE}, 0},
        ParseCase{"junk between", Cat({{0x00, 0xFF, 0x45}, B(statusPollFrame), {0x13, 0x37}, kKeyScan, {0x99}}),
                  {CMD_STATUS, CMD_KEY}, 0},
        ParseCase{"bad checksum dropped", Cat({{STX, CMD_STATUS, ETX, 0x45}, B(lcdPollFrame)}), {CMD_LCD}, 1},
        ParseCase{"damaged key not pressed", Cat({{STX, CMD_KEY, 15, ETX, 0x00}, kKeyScan}), {CMD_KEY}, 1},
        ParseCase{"stray STX before a frame", Cat({{STX, STX, STX}, B(statusPollFrame)}), {CMD_STATUS}, 0},
        ParseCase{"unknown letter", Cat({{STX, 'Z', ETX, 0x5D}, B(lcdPollFrame)}), {CMD_LCD}, 0},
        ParseCase{"missing ETX", Cat({{STX, CMD_KEY, 15, 0x00, 0x5D}, B(lcdPollFrame)}), {CMD_LCD}, 0}),
    [](const auto& info) {
        std::string n = info.param.name;
        for (char& ch : n) {
            if (!std::isalnum(static_cast<unsigned char>(ch))) {
                ch = '_';
            }
        }
        return n;
    });

// A cut-off tune frame swallows the poll behind it until the partial frame
// expires; then the poll is found.
TEST(FrameParser, ExpiredPartialFrameReleasesTheFrameBehindIt)
{
    FrameParser parser;
    const Collected out = Parse(Cat({{STX, CMD_TUNE, 0x40, 0x78}, B(statusPollFrame)}), 8, parser);
    EXPECT_TRUE(out.frames.empty());
    std::vector<uint8_t> letters;
    parser.SetHandlers([&](const Frame& f) { letters.push_back(f.letter); }, nullptr);
    parser.Expire();
    EXPECT_EQ(letters, std::vector<uint8_t>{CMD_STATUS});
    EXPECT_TRUE(parser.Idle());
}

TEST(FrameParser, PayloadAndRawBytesOfATuneFrame)
{
    FrameParser parser;
    const Collected out = Parse(kTune, kTune.size(), parser);
    ASSERT_EQ(out.frames.size(), 1u);
    EXPECT_EQ(out.frames[0].raw, kTune);
    EXPECT_EQ(out.frames[0].payload, (Bytes{0x40, 0x78, 0x7D, 0x01, 0x02}));
}

TEST(FrameParser, JunkIsReportedAndIdleTellsAPartialFrame)
{
    FrameParser parser;
    const Collected out = Parse(Bytes{0x11, 0x22, STX, CMD_STATUS}, 4, parser);
    EXPECT_EQ(out.junk, (Bytes{0x11, 0x22}));
    EXPECT_FALSE(parser.Idle());
    const uint8_t rest[] = {ETX, 0x44};
    parser.Feed(rest, 2);
    EXPECT_TRUE(parser.Idle());
    EXPECT_EQ(parser.goodFrames, 1u);
}

} // namespace
