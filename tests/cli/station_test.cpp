// The station that ostrellectl's watch, serve, read and write stand on,
// against radiosim: its START and STOP, who hears of what, and the parts it
// owns taken down in an order that leaves nothing running.

#include "station/station.h"

#include "simprocess.h"
#include "waituntil.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <string>

#include <unistd.h>

TEST(Station, StartStopEventsAndTheTransfersEnd)
{
    SimProcess sim({"--records", "5"});
    ASSERT_TRUE(sim.Started()) << sim.Error();
    const std::string image = "/tmp/ostrelle-station-" + std::to_string(::getpid()) + ".bin";
    std::atomic<int> changed{0};
    std::atomic<int> stored{0};
    std::atomic<int> ended{0};
    {
        Station station;
        StationEvents events;
        events.changed = [&] { ++changed; };
        events.replyStored = [&](const StoredReply&) { ++stored; };
        events.transferEnded = [&] { ++ended; };
        station.SetEvents(events);
        std::string error;
        control::ServerSettings settings;
        settings.port = 0;
        ASSERT_TRUE(station.StartControl(settings, error)) << error;
        station.StartTrace();

        // Open, not polling: the one truth says so, and a frame may go.
        ASSERT_TRUE(station.Open(sim.Path())) << station.Link().OpenError();
        EXPECT_EQ(station.Link().State(), LinkState::Open);
        EXPECT_EQ(station.Link().SendKey(KeyCode{15}), SendResult::Sent);
        EXPECT_EQ(stored.load(), 0);

        station.StartPolling();
        ASSERT_TRUE(WaitUntil([&] { return stored >= 3 && station.Link().State() == LinkState::Answering; }, 3000));
        EXPECT_GT(changed.load(), 0);
        EXPECT_NE(station.TakeTraceLines().find("PC->RADIO"), std::string::npos);

        // The transfer's end is told, not found by looking.
        ASSERT_EQ(station.Transfer().OpenForReceiving(image), "");
        station.Transfer().SetProgressStream(nullptr);
        ASSERT_TRUE(station.StartTransfer());
        ASSERT_TRUE(WaitUntil([&] { return ended == 1; }, 8000));
        const TransferReport report = station.SuperviseTransfer();
        EXPECT_EQ(report.outcome, TransferOutcome::Completed) << report.message;
        EXPECT_TRUE(report.pollingRestarted);
        const int before = stored;
        ASSERT_TRUE(WaitUntil([&] { return stored > before; }, 3000));

        (void)station.Stop();
        EXPECT_EQ(station.Link().State(), LinkState::Stopped);
        EXPECT_EQ(station.Link().SendKey(KeyCode{15}), SendResult::LinkStopped);
        // Started again and left running: the station takes it all down.
        ASSERT_TRUE(station.Open(sim.Path()));
        station.StartPolling();
    }
    EXPECT_EQ(ended.load(), 1);
    (void)std::remove(image.c_str());
}
