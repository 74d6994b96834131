#include "protocol/replyhunter.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

struct HuntCase {
    const char* name = "";
    Bytes stream;
    bool found = false;
    Bytes frame; // when found
};

Bytes StatusFrame(uint8_t fill)
{
    Bytes frame(20, fill);
    frame[0] = 0x02;
    frame[1] = 0x41;
    return frame;
}

// The first `count` bytes of a status frame.
Bytes StatusPrefix(uint8_t fill, size_t count)
{
    Bytes frame = StatusFrame(fill);
    frame.resize(count);
    return frame;
}

Bytes Cat(std::initializer_list<Bytes> parts)
{
    Bytes all;
    for (const Bytes& part : parts) {
        all.insert(all.end(), part.begin(), part.end());
    }
    return all;
}

const HuntCase kCases[] = {
    {"alone", StatusFrame(0x02), true, StatusFrame(0x02)},
    {"junk_first", Cat({{0x55, 0xAA, 0x41}, StatusFrame(0x11)}), true, StatusFrame(0x11)},
    {"wrong_letter_then_good", Cat({{0x02, 0x4C, 0x20, 0x20}, StatusFrame(0x22)}), true, StatusFrame(0x22)},
    {"doubled_stx", Cat({{0x02}, StatusFrame(0x33)}), false, {}},
    {"doubled_stx_then_good", Cat({{0x02}, StatusFrame(0x33), StatusFrame(0x44)}), true, StatusFrame(0x44)},
    {"two_frames_takes_first", Cat({StatusFrame(0x55), StatusFrame(0x66)}), true, StatusFrame(0x55)},
    {"cut_short", StatusPrefix(0x77, 19), false, {}},
    {"empty", {}, false, {}},
};

class ReplyHunterCases : public ::testing::TestWithParam<HuntCase> {};

// The radio's bytes come in pieces of any size; the outcome must not depend
// on where the reads cut the stream, and the hunter must stop at the frame's
// last byte whatever follows in the same piece.
TEST_P(ReplyHunterCases, SameOutcomeForEveryCut)
{
    const HuntCase& c = GetParam();
    for (size_t piece = 1; piece <= std::max<size_t>(1, c.stream.size()); ++piece) {
        SCOPED_TRACE("pieces of " + std::to_string(piece));
        Bytes buffer(20, 0xEE);
        ReplyHunter hunter(buffer.data(), 20, 'A');
        EXPECT_EQ(buffer, Bytes(20, 0));
        bool done = false;
        for (size_t at = 0; at < c.stream.size() && !done; at += piece) {
            const size_t n = std::min(piece, c.stream.size() - at);
            done = hunter.Feed(c.stream.data() + at, static_cast<int32_t>(n));
        }
        EXPECT_EQ(done, c.found);
        EXPECT_EQ(hunter.Complete(), c.found);
        if (c.found) {
            EXPECT_EQ(buffer, c.frame);
            const Bytes more(30, 0x99);
            EXPECT_TRUE(hunter.Feed(more.data(), static_cast<int32_t>(more.size())));
            EXPECT_EQ(buffer, c.frame) << "bytes after a whole frame must not be stored";
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Streams, ReplyHunterCases, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<HuntCase>& info) { return std::string(info.param.name); });

TEST(ReplyHunter, MissingCountsOnlyFrameBytes)
{
    Bytes buffer(20);
    ReplyHunter hunter(buffer.data(), 20, 'A');
    EXPECT_EQ(hunter.Missing(), 20);
    const Bytes first = Cat({{1, 2, 3, 4, 5}, StatusPrefix(0, 15)});
    EXPECT_FALSE(hunter.Feed(first.data(), static_cast<int32_t>(first.size())));
    EXPECT_EQ(hunter.Missing(), 5);
    const Bytes wrong = {0x02, 0x4C};
    ReplyHunter reset(buffer.data(), 20, 'A');
    EXPECT_FALSE(reset.Feed(wrong.data(), 2));
    EXPECT_EQ(reset.Missing(), 20) << "a wrong letter starts the frame over";
}

} // namespace
