// The station that ostrellectl's watch, serve, read and write stand on,
// against radiosim: its START and STOP, who hears of what, and the parts it
// owns taken down in an order that leaves nothing running.

#include "station/station.h"

#include "activity/walltime.h"
#include "scriptedcalls.h"
#include "simprocess.h"
#include "waituntil.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <string>

#include <stdlib.h>
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

// A call on the air when the cable goes ends there, and is told at once,
// not only at the STOP that may come hours later.
TEST(Station, AHitOnTheAirEndsWithTheCable)
{
    char dir[] = "/tmp/ostrelle-station-XXXXXX";
    ASSERT_NE(::mkdtemp(dir), nullptr);
    // The last call is on the air from 4.2 s for a minute.
    SimProcess sim({"--activity", WriteCallScript(dir), "--hangup-after", "5000"});
    ASSERT_TRUE(sim.Started()) << sim.Error();
    Station station;
    std::atomic<int> told{0};
    StationEvents events;
    events.hitsEnded = [&] { ++told; };
    station.SetEvents(events);
    SystemWallTime wall(station.GetClock());
    station.StartActivity(wall, HitRules{});
    ASSERT_TRUE(station.Open(sim.Path()));
    station.StartPolling();
    std::vector<Hit> hits;
    ASSERT_TRUE(WaitUntil([&] {
        for (Hit& hit : station.TakeHits()) {
            hits.push_back(hit);
        }
        return hits.size() == ScriptedCalls().size() - 1;
    }, 8000)) << hits.size();
    const int before = told;
    ASSERT_TRUE(WaitUntil([&] { return station.Link().State() == LinkState::PortGone; }, 4000))
        << LinkStateOf(station.Link().State()).name << " " << hits.size();
    ASSERT_TRUE(WaitUntil([&] { return told > before; }, 1000));
    EXPECT_EQ(station.TakeHits().size(), 1u);
    (void)station.Stop();
    std::filesystem::remove_all(dir);
}

// The window's STOP during a transfer: the link goes down at once, and the
// transfer's end is left to whoever shows it, not lost inside the station.
TEST(Station, StopLinkLeavesTheTransferToItsOwner)
{
    SimProcess sim({"--records", "200"});
    ASSERT_TRUE(sim.Started()) << sim.Error();
    const std::string image = "/tmp/ostrelle-station-stop-" + std::to_string(::getpid()) + ".bin";
    std::atomic<int> ended{0};
    Station station;
    StationEvents events;
    events.transferEnded = [&] { ++ended; };
    station.SetEvents(events);
    ASSERT_TRUE(station.Open(sim.Path()));
    station.StartPolling();
    ASSERT_EQ(station.Transfer().OpenForReceiving(image), "");
    station.Transfer().SetProgressStream(nullptr);
    ASSERT_TRUE(station.StartTransfer());
    station.StopLink();
    EXPECT_EQ(station.Link().State(), LinkState::Stopped);
    EXPECT_TRUE(station.Transfer().Active());
    EXPECT_TRUE(station.TransferFinished());
    const TransferReport report = station.SuperviseTransfer();
    EXPECT_TRUE(report.ended);
    EXPECT_EQ(report.outcome, TransferOutcome::Stopped) << report.message;
    EXPECT_FALSE(report.pollingRestarted);
    EXPECT_EQ(ended.load(), 1);
    (void)std::remove(image.c_str());
}
