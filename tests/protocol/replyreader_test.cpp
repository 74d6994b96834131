#include "ptypair.h"
#include "protocol/radiolink.h"
#include "readcounter.h"
#include "wrapclock.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;
using std::chrono::milliseconds;
using std::chrono::steady_clock;

long MsSince(steady_clock::time_point start)
{
    return static_cast<long>(std::chrono::duration_cast<milliseconds>(steady_clock::now() - start).count());
}

Bytes Cat(std::initializer_list<Bytes> parts)
{
    Bytes all;
    for (const Bytes& part : parts) {
        all.insert(all.end(), part.begin(), part.end());
    }
    return all;
}

// A status reply whose data holds STX and ETX values and whose last two
// bytes are not a valid ETX and checksum: the reader must take them as data.
const Bytes kStatus = {0x02, 0x41, 0x02, 0x1F, 0x4D, 0x02, 0x03, 0x01, 0x0A, 0x00, 0xFF,
                       0x80, 0x0F, 0x10, 0xE6, 0xF2, 0x08, 0x01, 0x99, 0x00};

// An LCD reply with no 0x02 after its first byte.
Bytes LcdLike()
{
    Bytes frame(70, 0x20);
    frame[0] = 0x02;
    frame[1] = 0x4C;
    return frame;
}

// Each reader's tick wraps 30 ms into its first wait, so that every limit
// here is also kept across the wrap.
class ReplyReader : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(pty.Ok());
        ASSERT_TRUE(OpenOnPty(link.Port(), pty)) << link.Port().LastError().text;
        link.SetRunningForTest(true);
    }

    void Arrive(const Bytes& bytes)
    {
        ASSERT_TRUE(pty.WriteMaster(bytes));
        ASSERT_TRUE(WaitForWaiting(link.Port(), static_cast<uint32_t>(bytes.size())));
    }

    PtyPair pty;
    WrapClock clock{30};
    RadioLink link{clock};
};

struct ReaderCase {
    const char* name = "";
    Bytes input;
    bool found = false;
};

class ReplyReaderCases : public ReplyReader, public ::testing::WithParamInterface<ReaderCase> {};

TEST_P(ReplyReaderCases, HuntsForStxAndTheCommandLetter)
{
    const ReaderCase& c = GetParam();
    Arrive(c.input);
    Bytes buffer(20, 0xEE);
    const auto start = steady_clock::now();
    EXPECT_EQ(link.ReadReply(buffer.data(), 20, 'A', 100), c.found);
    if (c.found) {
        EXPECT_EQ(buffer, kStatus);
        EXPECT_LT(MsSince(start), 50);
    } else {
        EXPECT_GE(MsSince(start), 99);
        EXPECT_LT(MsSince(start), 400);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Inputs, ReplyReaderCases,
    ::testing::Values(ReaderCase{"frame_alone", kStatus, true},
                      ReaderCase{"junk_first", Cat({{0x55, 0xAA}, kStatus}), true},
                      // The 'L' is dropped; the rest of that frame is skipped up to
                      // the next STX, which opens the attempt that succeeds.
                      ReaderCase{"other_reply_first", Cat({LcdLike(), kStatus}), true},
                      // The second STX counts as a wrong letter and is dropped, so
                      // the 'A' after it is skipped while hunting.
                      ReaderCase{"doubled_stx", Cat({{0x02}, kStatus}), false},
                      ReaderCase{"cut_short", Bytes(kStatus.begin(), kStatus.begin() + 12), false},
                      ReaderCase{"wrong_letter_only", LcdLike(), false}),
    [](const ::testing::TestParamInfo<ReaderCase>& info) { return std::string(info.param.name); });

TEST_F(ReplyReader, SilenceEndsAtTheLimitWithAZeroedBuffer)
{
    Bytes buffer(70, 0xEE);
    const auto start = steady_clock::now();
    EXPECT_FALSE(link.ReadReply(buffer.data(), 70, 'L', 80));
    const long took = MsSince(start);
    EXPECT_GE(took, 79);
    EXPECT_LT(took, 300);
    EXPECT_EQ(buffer, Bytes(70, 0));
}

TEST_F(ReplyReader, NeverReadsBeyondTheFrame)
{
    const Bytes trailing = {0x02, 0x41, 0x00, 0x00};
    Arrive(Cat({{0x11, 0x22, 0x33, 0x44, 0x55}, kStatus, trailing}));
    Bytes buffer(20);
    StartCountingReads(pty.SlavePath());
    EXPECT_TRUE(link.ReadReply(buffer.data(), 20, 'A', 100));
    // Junk costs no part of the frame but counts toward the read it came in.
    EXPECT_EQ(StopCountingReads(), (std::vector<long>{20, 5}));
    EXPECT_EQ(buffer, kStatus);
    EXPECT_EQ(link.Port().BytesWaiting(), trailing.size());
}

TEST_F(ReplyReader, WaitsForAReplyThatComesInPieces)
{
    std::thread radio([this] {
        std::this_thread::sleep_for(milliseconds(20));
        pty.WriteMaster(Bytes(kStatus.begin(), kStatus.begin() + 7));
        std::this_thread::sleep_for(milliseconds(30));
        pty.WriteMaster(Bytes(kStatus.begin() + 7, kStatus.end()));
    });
    Bytes buffer(20);
    EXPECT_TRUE(link.ReadReply(buffer.data(), 20, 'A', 200));
    radio.join();
    EXPECT_EQ(buffer, kStatus);
}

// Every frame goes out through SendCommand: only while the link runs, after
// the input that waited has been thrown away, and never waiting on a line
// that takes nothing longer than its 100 ms.
TEST_F(ReplyReader, SendCommandPurgesFirstAndWritesOnlyWhileRunningWithinItsLimit)
{
    const auto frame = KeyFrame(15);
    const Bytes sent(frame.begin(), frame.end());
    Arrive(kStatus);
    link.SetRunningForTest(false);
    EXPECT_EQ(link.SendCommand(frame.data(), KEY_FRAME_LENGTH), 0);
    EXPECT_EQ(link.Port().BytesWaiting(), kStatus.size()) << "a stopped link must not touch the port";
    EXPECT_TRUE(pty.ReadMaster(1, 50).empty());

    link.SetRunningForTest(true);
    EXPECT_EQ(link.SendCommand(frame.data(), KEY_FRAME_LENGTH), KEY_FRAME_LENGTH);
    EXPECT_EQ(link.Port().BytesWaiting(), 0u) << "the reply that waited must be gone before the frame";
    EXPECT_EQ(pty.ReadMaster(sent.size(), 1000), sent);

    // Nobody reads the far end: a write longer than the line holds comes
    // back at the limit with what went.
    const Bytes huge(32 * 1024, 0x55);
    const auto start = steady_clock::now();
    EXPECT_LT(link.SendCommand(huge.data(), static_cast<int32_t>(huge.size())), static_cast<int32_t>(huge.size()));
    const long took = MsSince(start);
    EXPECT_GE(took, 95);
    EXPECT_LT(took, 500);
}

TEST_F(ReplyReader, StoppedLinkReturnsAtOnceAndLeavesTheBuffer)
{
    Arrive(kStatus);
    link.SetRunningForTest(false);
    Bytes buffer(20, 0xEE);
    const auto start = steady_clock::now();
    EXPECT_FALSE(link.ReadReply(buffer.data(), 20, 'A', 500));
    EXPECT_LT(MsSince(start), 20);
    EXPECT_EQ(buffer, Bytes(20, 0xEE));
    EXPECT_EQ(link.Port().BytesWaiting(), kStatus.size());
}

} // namespace
