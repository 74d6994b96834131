// The control server against the real thing: Hamlib's own rigctl and rigctld
// (model 2, NET rigctl) drive radiosim through the link, a flooding client
// leaves the poll rhythm alone, and ostrellectl serve hosts it all without
// a window.

#include "ctlprocess.h"
#include "fakeaccess.h"
#include "control/linkaccess.h"
#include "protocol/radiolink.h"
#include "control/rigctlserver.h"
#include "ser2netprocess.h"
#include "simprocess.h"
#include "waituntil.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <sstream>
#include <thread>

#include <unistd.h>

namespace {

constexpr const char* RIGCTL = "/usr/bin/rigctl";
constexpr const char* RIGCTLD = "/usr/bin/rigctld";

bool HamlibThere()
{
    return ::access(RIGCTL, X_OK) == 0 && ::access(RIGCTLD, X_OK) == 0;
}

#define SKIP_WITHOUT_HAMLIB()                                                                                   \
    if (!HamlibThere()) {                                                                                       \
        GTEST_SKIP() << "Hamlib's rigctl and rigctld are missing: bash tools/setup.sh test installs "             \
                        "libhamlib-utils";                                                                      \
    }

// radiosim behind a running link, and the control server over it.
struct Station {
    SimProcess sim{{"--trace"}};
    RadioLink link;
    control::LinkAccess access{link};
    control::RigctlServer server{access};

    bool Start(std::string& error)
    {
        if (!sim.Started()) {
            error = sim.Error();
            return false;
        }
        if (!link.OpenPortNamed(sim.Path())) {
            error = link.OpenError();
            return false;
        }
        link.StartPolling();
        control::ServerSettings settings;
        settings.port = 0;
        return server.Start(settings, error) &&
               WaitUntil([this] { return link.Snapshot().status.statusValid; }, 3000);
    }
    ~Station()
    {
        server.Stop();
        link.StopWorker();
    }
    std::string Address() const { return "127.0.0.1:" + std::to_string(server.Port()); }

    // The tune frames radiosim received: hertz and modulation byte.
    std::vector<std::pair<uint32_t, unsigned>> Tunes() const
    {
        std::vector<std::pair<uint32_t, unsigned>> tunes;
        for (const TraceFrame& f : ParseTrace(sim.TraceLines())) {
            if (f.toRadio && f.bytes.size() == 9 && f.bytes[1] == 'T') {
                tunes.emplace_back(f.bytes[2] | f.bytes[3] << 8 | f.bytes[4] << 16 | f.bytes[5] << 24, f.bytes[6]);
            }
        }
        return tunes;
    }
};

CtlResult Rigctl(const std::string& address, std::vector<std::string> commands)
{
    std::vector<std::string> args{"-m", "2", "-r", address};
    args.insert(args.end(), commands.begin(), commands.end());
    CtlProcess rigctl(args, {}, RIGCTL);
    return rigctl.Finish(20000);
}

// Hamlib's rigctl reads frequency, mode and strength, and sets a frequency
// and a mode that radiosim then shows; then the same through Hamlib's own
// rigctld as a relay, which proves that whatever talks to rigctld can talk
// to us.
TEST(Hamlib, RigctlDirectAndThroughRigctldDriveTheRadio)
{
    SKIP_WITHOUT_HAMLIB();
    Station station;
    std::string error;
    ASSERT_TRUE(station.Start(error)) << error;

    CtlResult r = Rigctl(station.Address(), {"F", "146520000", "M", "AM", "0", "f", "m", "l", "STRENGTH", "l",
                                             "RAWSTR"});
    ASSERT_EQ(r.code, 0) << r.err;
    std::vector<std::string> out = Lines(r.out);
    ASSERT_EQ(out.size(), 5u) << r.out;
    EXPECT_EQ(out[0], "146520000");
    EXPECT_EQ(out[1], "AM");
    const int strength = std::stoi(out[3]);
    EXPECT_TRUE(strength >= -54 && strength <= 60) << out[3];
    EXPECT_GE(std::stoi(out[4]), 0);
    const PanelSnapshot seen = station.link.Snapshot();
    EXPECT_EQ(seen.status.frequencyHz(), 146520000u) << "radiosim's status shows the frequency set";
    EXPECT_EQ(seen.status.modulationIndex(), 0) << "and the mode";
    std::vector<std::pair<uint32_t, unsigned>> tunes = station.Tunes();
    ASSERT_FALSE(tunes.empty());
    EXPECT_EQ(tunes.back(), std::make_pair(146520000u, 0u));

    const int relayPort = FreeLoopbackPort();
    ASSERT_GT(relayPort, 0);
    CtlProcess relay({"-m", "2", "-r", station.Address(), "-t", std::to_string(relayPort)}, {}, RIGCTLD);
    ASSERT_TRUE(relay.Started());
    ASSERT_TRUE(WaitUntil([&] { return TestClient(static_cast<uint16_t>(relayPort)).Connected(); }, 5000));
    r = Rigctl("127.0.0.1:" + std::to_string(relayPort), {"F", "145500000", "M", "FM", "0", "f", "m"});
    ASSERT_EQ(r.code, 0) << r.err;
    out = Lines(r.out);
    ASSERT_EQ(out.size(), 3u) << r.out;
    EXPECT_EQ(out[0], "145500000");
    EXPECT_EQ(out[1], "FM");
    tunes = station.Tunes();
    EXPECT_EQ(tunes.back(), std::make_pair(145500000u, 1u));
    EXPECT_EQ(station.link.Snapshot().status.modulationIndex(), 1);
    relay.Signal(SIGTERM);
    relay.Finish(3000);
}

// radiosim stopped (SIGSTOP) under a running server: a set whose frame went
// out is answered RPRT -5 once its time is up, never RPRT 0; a second set
// sends no frame behind it; once the link's rule finds the radio silent the
// last values are no longer given as its own, and a set is refused at once.
// After SIGCONT the one frame sent is all that reached the radio, and the
// server answers from the radio again.
TEST(ControlSilence, ASilentRadioIsNeverReportedAsAnswering)
{
    Station station;
    std::string error;
    ASSERT_TRUE(station.Start(error)) << error;
    TestClient first(station.server.Port());
    TestClient second(station.server.Port());
    ASSERT_EQ(first.Ask("f\n").find("RPRT"), std::string::npos);
    const size_t tunesBefore = station.Tunes().size();
    using Ms = std::chrono::milliseconds;

    ASSERT_EQ(::kill(station.sim.Pid(), SIGSTOP), 0);
    const auto stopped = std::chrono::steady_clock::now();
    first.Send("F 150000000\n");
    std::this_thread::sleep_for(Ms(50));
    second.Send("F 151000000\n");
    EXPECT_EQ(first.ReadLines(1, 3000), "RPRT -5\n");
    EXPECT_EQ(second.ReadLines(1, 3000), "RPRT -5\n");
    EXPECT_LE(std::chrono::steady_clock::now() - stopped, Ms(1500)) << "a set is answered within its bound";
    for (const char* question : {"f\n", "m\n", "l STRENGTH\n", "l RAWSTR\n"}) {
        EXPECT_EQ(first.Ask(question), "RPRT -5\n") << question;
    }
    const auto asked = std::chrono::steady_clock::now();
    EXPECT_EQ(second.Ask("F 152000000\n"), "RPRT -5\n");
    EXPECT_LT(std::chrono::steady_clock::now() - asked, Ms(200)) << "refused at once, not sent";
    EXPECT_TRUE(WaitUntil([&] { return station.link.State() == LinkState::NotAnswering; }, 2000));
    EXPECT_EQ(station.server.framesSent.load(), 1u);

    ASSERT_EQ(::kill(station.sim.Pid(), SIGCONT), 0);
    ASSERT_TRUE(WaitUntil([&] { return first.Ask("f\n").find("RPRT") == std::string::npos; }, 5000));
    ASSERT_TRUE(WaitUntil([&] { return station.Tunes().size() > tunesBefore; }, 2000));
    std::vector<std::pair<uint32_t, unsigned>> tunes = station.Tunes();
    tunes.erase(tunes.begin(), tunes.begin() + static_cast<std::ptrdiff_t>(tunesBefore));
    ASSERT_EQ(tunes.size(), 1u) << "frames piled up behind the silent radio";
    EXPECT_EQ(tunes[0].first, 150000000u);
    EXPECT_EQ(second.Ask("F 153000000\n"), "RPRT 0\n");
    EXPECT_EQ(second.Ask("f\n"), "153000000\n");
}

// Status replies stored, and the seconds they were counted over.
struct Tally {
    uint64_t replies = 0;
    double seconds = 0;
    double Rate() const { return seconds > 0 ? static_cast<double>(replies) / seconds : 0; }
};

// Counts the status replies stored while `busy` runs until the time given
// to it, at least `ms` from now.
template <typename Busy>
void Count(RadioLink& link, Tally& tally, int ms, Busy busy)
{
    const uint64_t before = link.Stats().statusRepliesStored;
    const auto start = std::chrono::steady_clock::now();
    busy(start + std::chrono::milliseconds(ms));
    std::this_thread::sleep_until(start + std::chrono::milliseconds(ms));
    tally.replies += link.Stats().statusRepliesStored - before;
    tally.seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// A client that sends 10 000 commands as fast as it can, pipelined, and
// one that sets frequencies as fast as it is answered, while the link polls:
// the rhythm of the status polls holds within 10 % of its pace without
// them. The answers take no exchange with the radio, a client's questions
// are answered at a bounded pace, and a set goes out in the pause after a
// poll, where it throws away no reply. Quiet, flooded and setting spells
// take turns, so that changes in the machine's load weigh on each alike.
TEST(ControlFlood, PollRhythmHoldsUnderAFloodingClient)
{
    Station station;
    std::string error;
    ASSERT_TRUE(station.Start(error)) << error;

    constexpr int COMMANDS = 10000;
    constexpr int ROUNDS = 5;
    const std::array<std::string, 6> oneLiners{"f\n", "l STRENGTH\n", "v\n", "t\n", "\\get_powerstat\n", "l RAWSTR\n"};
    std::string batch;
    for (int i = 0; i < COMMANDS / ROUNDS; ++i) {
        batch += oneLiners[static_cast<size_t>(i) % oneLiners.size()];
    }
    TestClient flooder(station.server.Port());
    TestClient setter(station.server.Port());
    ASSERT_TRUE(flooder.Connected() && setter.Connected());
    using Until = std::chrono::steady_clock::time_point;
    Tally quiet;
    Tally flooded;
    Tally setting;
    int answered = 0;
    int sets = 0;
    uint32_t hz = 150000000;
    for (int round = 0; round < ROUNDS; ++round) {
        Count(station.link, quiet, 800, [](Until) {});
        Count(station.link, flooded, 0, [&](Until) {
            std::thread sender([&] { flooder.Send(batch); });
            const std::string replies = flooder.ReadLines(COMMANDS / ROUNDS, 30000);
            sender.join();
            EXPECT_EQ(std::count(replies.begin(), replies.end(), '\n'), COMMANDS / ROUNDS);
            EXPECT_EQ(replies.find("RPRT"), std::string::npos) << "every answer from the records";
            answered += static_cast<int>(std::count(replies.begin(), replies.end(), '\n'));
        });
        Count(station.link, setting, 600, [&](Until end) {
            while (std::chrono::steady_clock::now() < end) {
                hz += 12500;
                ASSERT_EQ(setter.Ask("F " + std::to_string(hz) + "\n"), "RPRT 0\n");
                ASSERT_EQ(setter.Ask("f\n"), std::to_string(hz) + "\n") << "the read-back finds the radio there";
                ++sets;
            }
        });
    }
    std::printf("status replies per second: %.1f quiet, %.1f while %d commands were answered in %.1f s, "
                "%.1f while %d frequencies were set\n",
                quiet.Rate(), flooded.Rate(), answered, flooded.seconds, setting.Rate(), sets);
    EXPECT_EQ(answered, COMMANDS);
    EXPECT_GE(flooded.Rate(), 0.9 * quiet.Rate());
    EXPECT_GE(setting.Rate(), 0.9 * quiet.Rate());
    EXPECT_GE(sets, 20);
}

// ostrellectl serve: listens before the radio is touched, serves, and ends
// on Ctrl-C.
TEST(ControlServe, OstrellectlServesWithoutAWindow)
{
    SimProcess sim({"--trace"});
    ASSERT_TRUE(sim.Started()) << sim.Error();
    CtlResult refused = RunCtl({"--port", sim.Path(), "serve", "--listen", "localhost"});
    EXPECT_EQ(refused.code, 3);
    EXPECT_NE(refused.err.find("'localhost' is no IP address"), std::string::npos) << refused.err;
    EXPECT_TRUE(ParseTrace(sim.TraceLines()).empty()) << "the radio was touched";
    refused = RunCtl({"--port", sim.Path(), "serve", "--rigctl-port", "70000"});
    EXPECT_EQ(refused.code, 2) << refused.err;

    CtlProcess serve({"--port", sim.Path(), "serve", "--rigctl-port", "0"});
    std::string said;
    ASSERT_TRUE(serve.WaitForOutput(
        [&](const std::string& err) {
            said = err;
            return err.find("; Ctrl-C ends.") != std::string::npos;
        },
        5000, true))
        << said;
    const size_t at = said.find(" at 127.0.0.1:");
    ASSERT_NE(at, std::string::npos) << said;
    const auto port = static_cast<uint16_t>(std::stoi(said.substr(at + 14)));
    TestClient client(port);
    ASSERT_TRUE(WaitUntil([&] { return client.Ask("f\n").find("RPRT") == std::string::npos; }, 3000));
    EXPECT_EQ(client.Ask("F 162550000\n"), "RPRT 0\n");
    EXPECT_EQ(client.Ask("f\n"), "162550000\n");
    const auto interrupted = std::chrono::steady_clock::now();
    serve.Signal(SIGINT);
    const CtlResult r = serve.Finish(5000);
    EXPECT_EQ(r.code, 130) << r.err;
    EXPECT_LT(serve.MsFrom(interrupted), 1000);
    EXPECT_EQ(client.ReadUntilClosed(1000), "") << "clients closed on the way out";
}

} // namespace
