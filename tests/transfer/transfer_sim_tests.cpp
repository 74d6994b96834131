// The round trip against radiosim: the image it gives is the image it gets.

#include "imagetransfer.h"
#include "radiolink.h"
#include "simprocess.h"
#include "transfertestsupport.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

namespace {

bool Exists(const std::string& path)
{
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0;
}

TEST(TransferRoundTrip, AnImageReceivedAndSentBackIsWhatTheRadioHeld)
{
    ScratchDir dir;
    const std::string held = dir.File("radio.bin");
    SimProcess sim({"--records", "20", "--image", held});
    ASSERT_TRUE(sim.Started()) << sim.Error();
    RadioLink link;
    ASSERT_TRUE(link.Port().Open(sim.Path().c_str(), 115200, 'N', 8, 1, true, true));
    link.linkRunning = true;

    ImageTransfer transfer;
    transfer.SetProgressStream(nullptr);
    const std::string copy = dir.File("copy.bin");
    ASSERT_EQ(transfer.OpenForReceiving(copy), "");
    ASSERT_TRUE(transfer.Start(link));
    TransferReport report = SuperviseUntilEnded(link, transfer, 8000);
    ASSERT_EQ(report.outcome, TransferOutcome::Completed) << report.message;
    const auto image = ReadFileBytes(copy);
    ASSERT_EQ(image.size(), 20u * 132u);
    ASSERT_FALSE(Exists(held));

    ASSERT_EQ(transfer.OpenForSending(copy), "");
    ASSERT_TRUE(transfer.Start(link));
    report = SuperviseUntilEnded(link, transfer, 8000);
    ASSERT_EQ(report.outcome, TransferOutcome::Completed) << report.message;
    ASSERT_TRUE(WaitUntil([&] { return Exists(held); }, 3000));
    EXPECT_EQ(ReadFileBytes(held), image);
    link.StopWorker();
}

} // namespace
