// The round trip against radiosim: the image it gives is the image it gets,
// over its terminal and through ser2net.

#include "transfer/imagetransfer.h"
#include "protocol/radiolink.h"
#include "simroute.h"
#include "transfertestsupport.h"

#include <gtest/gtest.h>

#include <algorithm>

#include <sys/stat.h>

namespace {

bool Exists(const std::string& path)
{
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0;
}

class TransferRoundTrip : public ::testing::TestWithParam<Route> {};

TEST_P(TransferRoundTrip, AnImageReceivedAndSentBackIsWhatTheRadioHeld)
{
    ScratchDir dir;
    const std::string held = dir.File("radio.bin");
    SimProcess sim({"--records", "20", "--image", held});
    ASSERT_TRUE(sim.Started()) << sim.Error();
    const SimRoute route(sim, GetParam());
    ASSERT_TRUE(route.Ok()) << route.Error();
    RadioLink link;
    ASSERT_TRUE(link.Port().Open(route.PortName().c_str(), 115200, 'N', 8, 1, true, true))
        << link.Port().LastError().text;
    link.SetRunningForTest(true);

    ImageTransfer transfer;
    transfer.SetProgressStream(nullptr);
    const std::string copy = dir.File("copy.bin");
    ASSERT_EQ(transfer.OpenForReceiving(copy), "");
    ASSERT_TRUE(transfer.Start(link));
    TransferReport report = SuperviseUntilEnded(link, transfer, 8000);
    ASSERT_EQ(report.outcome, TransferOutcome::Completed) << report.message;
    const auto image = ReadFileBytes(copy);
    ASSERT_EQ(image.size(), 20u * 132u);
    // Telnet's escape byte is in the image, so RFC 2217 must double it both ways.
    EXPECT_NE(std::find(image.begin(), image.end(), uint8_t{0xFF}), image.end());
    ASSERT_FALSE(Exists(held));

    ASSERT_EQ(transfer.OpenForSending(copy), "");
    ASSERT_TRUE(transfer.Start(link));
    report = SuperviseUntilEnded(link, transfer, 8000);
    ASSERT_EQ(report.outcome, TransferOutcome::Completed) << report.message;
    ASSERT_TRUE(WaitUntil([&] { return Exists(held); }, 3000));
    EXPECT_EQ(ReadFileBytes(held), image);
    link.StopWorker();
}

INSTANTIATE_TEST_SUITE_P(Routes, TransferRoundTrip, ::testing::Values(Route::Direct, Route::Rfc2217, Route::RawTcp),
                         RouteName());

} // namespace
