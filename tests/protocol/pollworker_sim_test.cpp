#include "protocol/radiolink.h"
#include "simroute.h"

#include "waituntil.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <thread>

namespace {

using std::chrono::milliseconds;
using std::chrono::steady_clock;

constexpr uint8_t kLightKey = 32;
constexpr uint8_t kBacklightIcon = 0x40;


// The poll worker against the simulated radio in its own process, over the
// link that radiosim makes, exactly as the program would use it; and the
// same through ser2net, as a radio on another machine.
class PollWorkerWithSim : public ::testing::TestWithParam<Route> {
protected:
    void Begin(std::vector<std::string> args = {})
    {
        ASSERT_EQ(StartRouted(std::move(args), GetParam(), sim, route), "");
        ASSERT_TRUE(link.Port().Open(route->PortName().c_str(), 115200, 'N', 8, 1, true, true))
            << link.Port().LastError().text;
        link.SetRefreshCallback([this] { ++refreshes; });
        link.StartPolling();
    }
    void TearDown() override
    {
        link.StopWorker();
        if (sim) {
            sim->Stop();
        }
    }

    std::unique_ptr<SimProcess> sim;
    std::unique_ptr<SimRoute> route;
    RadioLink link;
    std::atomic<int> refreshes{0};
};

TEST_P(PollWorkerWithSim, MirrorsDisplayAndStatus)
{
    Begin();
    ASSERT_TRUE(WaitUntil([this] { return link.LcdValid() && link.StatusValid(); }, 2000));
    const PanelSnapshot s = link.Snapshot();
    EXPECT_NE(s.lcd.rows[0][0], 0) << "the simulated display shows something";
    for (const auto& row : s.lcd.rows) {
        EXPECT_EQ(row[16], 0);
    }
    EXPECT_LE(s.status.modeIndex(), 9);
    EXPECT_LE(s.status.modulationIndex(), 3);
    EXPECT_GT(refreshes, 1);
}

TEST_P(PollWorkerWithSim, LightKeyShowsOnTheNextDisplay)
{
    Begin();
    ASSERT_TRUE(WaitUntil([this] { return link.LcdValid(); }, 2000));
    for (int press = 0; press < 4; ++press) {
        const bool lit = (link.Snapshot().lcd.iconFlagsB & kBacklightIcon) != 0;
        link.SendKey(kLightKey);
        EXPECT_TRUE(WaitUntil(
            [&] { return ((link.Snapshot().lcd.iconFlagsB & kBacklightIcon) != 0) != lit; }, 400))
            << "press " << press;
    }
}

TEST_P(PollWorkerWithSim, SilentSimStoresNothing)
{
    Begin({"--no-reply"});
    std::this_thread::sleep_for(milliseconds(600));
    EXPECT_FALSE(link.LcdValid());
    EXPECT_FALSE(link.StatusValid());
    EXPECT_EQ(refreshes, 0);
    EXPECT_GE(link.Stats().statusPollsSent, 2u);
}

TEST_P(PollWorkerWithSim, JunkBeforeRepliesIsSkipped)
{
    Begin({"--junk", "5"});
    EXPECT_TRUE(WaitUntil([this] { return link.LcdValid() && link.StatusValid(); }, 2000));
}

TEST_P(PollWorkerWithSim, HangUpLeavesTheWorkerStoppable)
{
    // Through ser2net the open waits a bounded while for confirmations that
    // a pseudo-terminal never gives; the radio must outlive that.
    Begin({"--hangup-after", GetParam() == Route::Direct ? "300" : "1500"});
    ASSERT_TRUE(WaitUntil([this] { return link.StatusValid(); }, 2000));
    EXPECT_GE(sim->WaitForExit(3000), 0);
    const uint64_t storedAtHangUp = link.Stats().statusRepliesStored;
    std::this_thread::sleep_for(milliseconds(300));
    EXPECT_LE(link.Stats().statusRepliesStored, storedAtHangUp + 1);
    const auto start = steady_clock::now();
    link.StopWorker();
    EXPECT_LT(std::chrono::duration_cast<milliseconds>(steady_clock::now() - start).count(), 300);
}

INSTANTIATE_TEST_SUITE_P(Routes, PollWorkerWithSim, ::testing::Values(Route::Direct, Route::Rfc2217, Route::RawTcp),
                         RouteName());

} // namespace
