// Image files that are not what they seem (a directory, a FIFO, a file that
// shrinks after its size was taken) and a radio that vanishes in the middle
// of a transfer: a clear message, never a hang, nothing received lost.

#include "faultsupport.h"
#include "protocol/frames.h"
#include "transfer/imagetransfer.h"
#include "protocol/radiolink.h"
#include "simprocess.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <future>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace fault;
namespace fs = std::filesystem;

namespace {

class ScratchFolder {
public:
    ScratchFolder()
    {
        char templ[] = "/tmp/ostrelle-faultfiles-XXXXXX";
        path = ::mkdtemp(templ) != nullptr ? templ : "";
    }
    ~ScratchFolder()
    {
        std::error_code ec;
        fs::remove_all(path, ec);
    }
    std::string File(const std::string& name) const { return path + "/" + name; }

private:
    std::string path;
};

void WriteRecords(const std::string& path, int records)
{
    std::ofstream out(path, std::ios::binary);
    for (int i = 0; i < records * IMAGE_RECORD_SIZE; ++i) {
        out.put(static_cast<char>(i * 7));
    }
}

// Runs `open` with a bound. Should it hang in the open of a FIFO, the FIFO's
// other end is opened to release it, so that the test fails instead of
// hanging for ever.
std::string OpenBounded(const std::function<std::string()>& open, const std::string& fifo, int otherEndFlags,
                        bool& hung)
{
    auto result = std::async(std::launch::async, open);
    hung = result.wait_for(milliseconds(1500)) != std::future_status::ready;
    if (hung) {
        const int fd = ::open(fifo.c_str(), otherEndFlags | O_NONBLOCK);
        std::string text = result.get();
        if (fd >= 0) {
            ::close(fd);
        }
        return text;
    }
    return result.get();
}

struct OddFile {
    const char* name;
    bool sending;
    bool fifo; // a FIFO; otherwise a directory
};

class OddImageFiles : public ::testing::TestWithParam<OddFile> {};

TEST_P(OddImageFiles, AreRefusedAtOnceWithAMessage)
{
    const OddFile& odd = GetParam();
    ScratchFolder scratch;
    const std::string path = scratch.File("image.bin");
    if (odd.fifo) {
        ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0);
    } else {
        fs::create_directory(path);
    }
    ImageTransfer transfer;
    bool hung = false;
    const std::string message = OpenBounded(
        [&] { return odd.sending ? transfer.OpenForSending(path) : transfer.OpenForReceiving(path); }, path,
        odd.sending ? O_WRONLY : O_RDONLY, hung);
    EXPECT_FALSE(hung) << odd.name << ": the open waited for the FIFO's other end";
    EXPECT_NE(message.find(path), std::string::npos) << odd.name << ": " << message;
    // With the reason in words, which the system's own line does not give.
    const std::string reason = odd.fifo ? "\nIt is a pipe or a device, not a file." : "\nIt is a folder, not a file.";
    EXPECT_EQ(message.substr(message.size() - std::min(message.size(), reason.size())), reason) << message;
    EXPECT_FALSE(transfer.Active());
    EXPECT_EQ(fs::is_fifo(path), odd.fifo) << "the file itself is left alone";
}

INSTANTIATE_TEST_SUITE_P(Files, OddImageFiles,
                         ::testing::Values(OddFile{"sendFromDirectory", true, false},
                                           OddFile{"receiveIntoDirectory", false, false},
                                           OddFile{"sendFromFifo", true, true},
                                           OddFile{"receiveIntoFifo", false, true}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(ImageFiles, ReceivingIntoARegularFileLeavesItAsItWasUntilTheImageIsWhole)
{
    ScratchFolder scratch;
    const std::string path = scratch.File("old.bin");
    WriteRecords(path, 3);
    ImageTransfer transfer;
    EXPECT_EQ(transfer.OpenForReceiving(path), "");
    EXPECT_TRUE(transfer.Active());
    EXPECT_EQ(fs::file_size(path), 3u * IMAGE_RECORD_SIZE);
    EXPECT_NE(transfer.WritePath(), path);
    RadioLink link;
    transfer.Stop(link);
    // Nothing came: the old file stays, and no empty new one beside it.
    EXPECT_EQ(fs::file_size(path), 3u * IMAGE_RECORD_SIZE);
    EXPECT_FALSE(fs::exists(transfer.WritePath()));
}

class TransferAgainstSim : public ::testing::Test {
protected:
    void Connect(std::vector<std::string> args)
    {
        sim = std::make_unique<SimProcess>(std::move(args));
        ASSERT_TRUE(sim->Started()) << sim->Error();
        ASSERT_TRUE(link.Port().Open(sim->Path().c_str(), 115200, 'N', 8, 1, true, true));
        link.StartPolling();
        ASSERT_TRUE(WaitFor([this] { return link.StatusValid(); }, 2000));
        transfer.SetProgressStream(nullptr);
    }
    // The transfer timer, every 100 ms, for at most boundMs.
    TransferReport Supervise(int boundMs)
    {
        const auto deadline = steady_clock::now() + milliseconds(boundMs);
        while (steady_clock::now() < deadline) {
            std::this_thread::sleep_for(milliseconds(100));
            TransferReport report = transfer.Supervise(link);
            if (report.ended) {
                return report;
            }
        }
        return {};
    }
    void TearDown() override
    {
        transfer.Stop(link);
        link.StopWorker();
        if (sim) {
            sim->Stop();
        }
    }

    ScratchFolder scratch;
    std::unique_ptr<SimProcess> sim;
    RadioLink link;
    ImageTransfer transfer;
};

TEST_F(TransferAgainstSim, FileThatShrinksAfterTheSizeTestEndsAndSaysSo)
{
    Connect({"--expect-records", "100"});
    const std::string path = scratch.File("shrinks.bin");
    // Larger than the stream's buffer, so that the shrink is seen by a read
    // and not hidden behind bytes read ahead.
    WriteRecords(path, 100);
    ASSERT_EQ(transfer.OpenForSending(path), "");
    fs::resize_file(path, 3 * IMAGE_RECORD_SIZE);
    ASSERT_TRUE(transfer.Start(link));
    const TransferReport report = Supervise(5000);
    ASSERT_TRUE(report.ended) << "the send must end after the promised passes";
    EXPECT_LT(transfer.recordsSent, 100);
    RecordProperty("message", report.message);
    EXPECT_NE(report.message.find(std::to_string(transfer.recordsSent.load()) + " of 100"), std::string::npos)
        << "a short image must not pass for a whole one: \"" << report.message << "\"";
}

struct Vanish {
    const char* name;
    bool sending;
};

class VanishingDuringTransfer : public TransferAgainstSim, public ::testing::WithParamInterface<Vanish> {};

TEST_P(VanishingDuringTransfer, EndsWithTheUserToldAndTheBytesKept)
{
    const Vanish& v = GetParam();
    // The hang-up comes well inside the transfer: a send of 200 records at
    // about 20 ms each, a receive of the built-in image at line pace.
    Connect({"--hangup-after", "1500", "--records", "200"});
    const std::string path = scratch.File("image.bin");
    if (v.sending) {
        WriteRecords(path, 200);
        ASSERT_EQ(transfer.OpenForSending(path), "");
    } else {
        ASSERT_EQ(transfer.OpenForReceiving(path), "");
    }
    ASSERT_TRUE(transfer.Start(link));
    const auto started = steady_clock::now();
    const TransferReport report = Supervise(6000);
    ASSERT_TRUE(report.ended) << v.name;
    const int64_t tookMs = MsSince(started);
    EXPECT_LT(tookMs, 4000) << v.name << ": the end of the line was noticed late";
    RecordProperty("transfer_ms_until_ended", static_cast<int>(tookMs));
    EXPECT_EQ(report.outcome, TransferOutcome::LinkLost) << v.name;
    EXPECT_NE(report.message.find("lost"), std::string::npos) << report.message;
    EXPECT_FALSE(transfer.Active()) << "the stream is closed";
    if (v.sending) {
        EXPECT_GT(transfer.recordsSent, 0);
        EXPECT_LT(transfer.recordsSent, 200);
    } else {
        EXPECT_GT(transfer.bytesReceived, 0);
        ASSERT_NE(report.keptPath, "");
        EXPECT_EQ(fs::file_size(report.keptPath), static_cast<uintmax_t>(transfer.bytesReceived.load()))
            << "every byte received is kept";
    }
    // The poll worker back in place lets the dead port go and waits for it
    // without spinning; the transfer is not started again.
    EXPECT_TRUE(WaitFor([this] { return link.State() == LinkState::PortGone; }, 1000));
    const double cpu0 = ProcessCpuSeconds();
    std::this_thread::sleep_for(milliseconds(500));
    EXPECT_LT(ProcessCpuSeconds() - cpu0, 0.05);
    EXPECT_FALSE(transfer.Active());
    const auto stopAt = steady_clock::now();
    link.StopWorker();
    EXPECT_LT(MsSince(stopAt), 400);
}

INSTANTIATE_TEST_SUITE_P(Transfers, VanishingDuringTransfer,
                         ::testing::Values(Vanish{"send", true}, Vanish{"receive", false}),
                         [](const auto& info) { return std::string(info.param.name); });

} // namespace
