// The rigctld protocol against a radio whose records the test sets: every
// command in both forms, the sets it hands on, and the server's limits on
// real loopback sockets.

#include "fakeaccess.h"
#include "control/rigctlprotocol.h"
#include "control/rigctlserver.h"
#include "waituntil.h"

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <thread>

namespace {

using control::Handled;
using control::HandleLine;

// A server on a free loopback port over a radio tuned to 146.52 MHz FM.
struct ServedRadio {
    explicit ServedRadio(void (*adjust)(control::ServerSettings&))
    {
        radio.SetStatus(146520000, 1, 100);
        settings.port = 0;
        adjust(settings);
        started = server.Start(settings, error);
    }
    FakeAccess radio;
    control::RigctlServer server{radio};
    control::ServerSettings settings;
    std::string error;
    bool started = false;
};

struct LineCase {
    const char* line;
    const char* reply; // the whole reply; null: a tune request is expected instead
    uint32_t hz = 0;
    int32_t tuneModulation = 0;
};

// A radio tuned to 146.52 MHz NFM with an RSSI of 485 (S9).
TEST(RigctlProtocol, EveryCommandInBothFormsFromTheRecords)
{
    FakeAccess radio;
    radio.SetStatus(146520000, 2, 485);
    const std::string& dump = control::DumpStateText();
    const LineCase cases[] = {
        {"\\chk_vfo", "0\n"},
        {"\\get_powerstat", "1\n"},
        {"\\get_lock_mode", "0\n"},
        {"f", "146520000\n"},
        {"m", "FMN\n12500\n"},
        {"v", "VFOA\n"},
        {"s", "0\nVFOA\n"},
        {"t", "0\n"},
        {"l STRENGTH", "0\n"},
        {"l RAWSTR", "485\n"},
        {"l AF", "RPRT -11\n"},
        {"l", "RPRT -1\n"},
        {"V VFOA", "RPRT 0\n"},
        {"V VFOB", "RPRT -1\n"},
        {"f VFOA", "RPRT -1\n"},
        {"\\set_powerstat 0", "RPRT -11\n"},
        {"Z", "RPRT -11\n"},
        {"q", "RPRT 0\n"},
        // Extended: the command, the named values, the result.
        {"+f", "get_freq:\nFrequency: 146520000\nRPRT 0\n"},
        {";m", "get_mode:;Mode: FMN;Passband: 12500;RPRT 0\n"},
        {"+\\get_freq", "get_freq:\nFrequency: 146520000\nRPRT 0\n"},
        {"+l STRENGTH", "get_level: STRENGTH\n0\nRPRT 0\n"},
        {"+\\chk_vfo", "chk_vfo:\nChkVFO: 0\nRPRT 0\n"},
        {"|s", "get_split_vfo:|Split: 0|TX VFO: VFOA|RPRT 0\n"},
        {"+V VFOZ", "set_vfo: VFOZ\nRPRT -1\n"},
        {"+\\bogus 1", "bogus: 1\nRPRT -11\n"},
        // Sets: hertz in every form clients write them, cut to whole hertz;
        // NFM cannot be carried, so a frequency goes with Auto.
        {"F 146520000", nullptr, 146520000, 2},
        {"F 146520000.000000", nullptr, 146520000, 2},
        {"F  146520000", nullptr, 146520000, 2},
        {"\\set_freq 145000000.9", nullptr, 145000000, 2},
        {"F 4294967295", nullptr, 4294967295u, 2},
        {"F 32010000", nullptr, 32010000, 2}, // not 32 009 999, as by way of MHz
        {"F 0", nullptr, 0, 2},
        {"F 4294967296", "RPRT -1\n"},
        {"F -1", "RPRT -1\n"},
        {"F 1e99", "RPRT -1\n"},
        {"F nan", "RPRT -1\n"},
        {"F 146.52MHz", "RPRT -1\n"},
        {"F", "RPRT -1\n"},
        {"M AM 0", nullptr, 146520000, 0},
        {"M FM 15000", nullptr, 146520000, 1},
        {"M AUTO", nullptr, 146520000, 2},
        {"M FMN 12500", "RPRT -1\n"},  // read, never set: the frame has no NFM
        {"M USB 2400", "RPRT -1\n"},
        {"M AM wide", "RPRT -1\n"},
        {"+M AM 0", nullptr, 146520000, 0},
    };
    for (const LineCase& c : cases) {
        SCOPED_TRACE(c.line);
        const Handled h = HandleLine(c.line, radio);
        if (c.reply != nullptr) {
            EXPECT_EQ(h.kind, Handled::Kind::Reply);
            EXPECT_EQ(h.reply, c.reply);
            continue;
        }
        ASSERT_EQ(h.kind, Handled::Kind::Tune);
        EXPECT_EQ(h.hz, c.hz);
        EXPECT_EQ(h.tuneModulation, c.tuneModulation);
        EXPECT_EQ(control::SetReply(h.framing, control::HamlibError::Ok),
                  h.framing.extended ? "set_mode: AM 0\nRPRT 0\n" : "RPRT 0\n");
    }
    EXPECT_TRUE(HandleLine("q", radio).close);
    EXPECT_EQ(HandleLine("", radio).kind, Handled::Kind::Silent);
    EXPECT_EQ(HandleLine("# a comment", radio).kind, Handled::Kind::Silent);
    EXPECT_EQ(HandleLine("\\dump_state", radio).reply, dump + "\n");
    // The receive range as Hamlib's clients read it: all the frame carries.
    EXPECT_NE(dump.find("\n0.000000 4294967295.000000 "), std::string::npos);
    EXPECT_EQ(HandleLine("+\\dump_state", radio).reply, "dump_state:\n" + dump + "\nRPRT 0\n");
}

// Modes both ways, the mode already set, and what is answered when the
// stored status is not the radio's now: none yet, a stopped link, a radio
// the link found silent, a status older than the link's rule. The values
// last seen are never passed off as current, and a set is refused at once
// rather than sent to a radio that is not listening.
TEST(RigctlProtocol, ModesAndNoStaleAnswers)
{
    FakeAccess radio;
    const std::pair<int, const char*> shown[] = {{0, "AM\n10000\n"}, {1, "FM\n15000\n"}, {2, "FMN\n12500\n"},
                                                 {3, "AUTO\n0\n"},   {4, "RPRT -8\n"}};
    for (const auto& [index, reply] : shown) {
        radio.SetStatus(25000000, static_cast<uint8_t>(index), 0);
        EXPECT_EQ(HandleLine("m", radio).reply, reply) << index;
        // A frequency keeps AM and FM; NFM, AUTO and the unknown go as Auto.
        EXPECT_EQ(HandleLine("F 1", radio).tuneModulation, index <= 1 ? index : 2) << index;
    }
    radio.SetStatus(25000000, 0, 0);
    const Handled same = HandleLine("M AM 0", radio);
    EXPECT_EQ(same.kind, Handled::Kind::Reply) << "no frame that would only stop a scan";
    EXPECT_EQ(same.reply, "RPRT 0\n");
    radio.ageMs = ANSWER_LIMIT_MS - 1;
    EXPECT_EQ(HandleLine("f", radio).reply, "25000000\n") << "young enough";

    const auto noAnswers = [&radio](const char* why, bool setsRefused) {
        SCOPED_TRACE(why);
        for (const char* line : {"f", "m", "l STRENGTH", "l RAWSTR", "M FM 0"}) {
            EXPECT_EQ(HandleLine(line, radio).reply, "RPRT -5\n") << line;
        }
        const Handled set = HandleLine("F 146520000", radio);
        EXPECT_EQ(set.kind, setsRefused ? Handled::Kind::Reply : Handled::Kind::Tune);
        EXPECT_EQ(set.reply, setsRefused ? "RPRT -5\n" : "");
        EXPECT_EQ(HandleLine("\\get_powerstat", radio).reply, "1\n") << "Hamlib would think the radio off";
    };
    radio.ageMs = ANSWER_LIMIT_MS;
    noAnswers("a status older than the link's rule", true);
    radio.ageMs = 0;
    radio.state = LinkState::NotAnswering;
    noAnswers("the link found the radio silent", true);
    radio.state = LinkState::Stopped;
    noAnswers("the link stopped; the link refuses the frame itself", false);
    radio.state = LinkState::Answering;
    radio.snap.status.statusValid = false;
    noAnswers("no status yet", false);
    EXPECT_EQ(HandleLine("F 146520000", radio).tuneModulation, 2);
    radio.state = LinkState::LcdPollsOff;
    radio.SetStatus(25000000, 0, 0);
    EXPECT_EQ(HandleLine("f", radio).reply, "25000000\n") << "the status is polled all the same";
}

TEST(RigctlProtocol, CalibrationAndResultCodes)
{
    const std::pair<uint16_t, int> strengths[] = {{0, -54}, {40, -50}, {485, 0}, {1023, 60}, {65535, 60}};
    for (const auto& [rssi, db] : strengths) {
        EXPECT_EQ(control::StrengthDb(rssi), db) << rssi;
    }
    // Never Hamlib's I/O error (6): rigctl would drop the command unsaid.
    const std::pair<SendResult, int> codes[] = {{SendResult::Sent, 0},       {SendResult::LinkStopped, 5},
                                                {SendResult::LineOwned, 9},  {SendResult::NotWritten, 5},
                                                {SendResult::PortGone, 5}};
    for (const auto& [result, code] : codes) {
        EXPECT_EQ(static_cast<int>(control::ErrorOf(result)), code) << SendResultText(result);
    }
}

// Only programs on this computer reach a loopback address, however written:
// ostrellectl serve warns for every other.
TEST(RigctlServer, EveryLoopbackAddressIsLocal)
{
    for (const char* address : {"127.0.0.1", "127.0.0.2", "127.255.255.254", "::1", "::ffff:127.0.0.1"}) {
        EXPECT_TRUE(control::IsLoopbackAddress(address)) << address;
    }
    for (const char* address : {"0.0.0.0", "::", "128.0.0.1", "192.168.1.127", "::ffff:10.0.0.1", "localhost", ""}) {
        EXPECT_FALSE(control::IsLoopbackAddress(address)) << address;
    }
}

// The server's limits, each on its own client while the others go on.
TEST(RigctlServer, LimitsCloseOnlyTheClientConcerned)
{
    ServedRadio served([](control::ServerSettings& s) {
        // Long enough that a loaded machine never closes a client the test
        // is still about to use; the silence below outlasts it.
        s.idleLimitMs = 1500;
        s.waitLimitMs = 200;
        s.giveWayMs = 60000;
        s.lineLimitMs = 300;
    });
    ASSERT_TRUE(served.started) << served.error;
    FakeAccess& radio = served.radio;
    control::RigctlServer& server = served.server;
    control::ServerSettings settings = served.settings;
    std::string error;
    EXPECT_EQ(server.Endpoint(), "127.0.0.1:" + std::to_string(server.Port()));

    // Another server on the same port is told why, in words.
    control::RigctlServer second(radio);
    settings.port = server.Port();
    EXPECT_FALSE(second.Start(settings, error));
    EXPECT_NE(error.find("Another program already listens on 127.0.0.1 port"), std::string::npos) << error;
    settings.address = "localhost";
    EXPECT_FALSE(second.Start(settings, error));
    EXPECT_NE(error.find("is no IP address"), std::string::npos) << error;

    std::vector<TestClient> clients;
    for (int i = 0; i < 4; ++i) {
        clients.emplace_back(server.Port());
        ASSERT_EQ(clients.back().Ask("f\n"), "146520000\n");
    }
    EXPECT_EQ(server.Clients(), 4);
    TestClient fifth(server.Port());
    EXPECT_EQ(fifth.ReadUntilClosed(2000), "RPRT -9 Ostrelle serves 4 programs at a time; close one and try again\n");

    // An overlong line, even one never ended, closes its client alone.
    clients[1].Send(std::string(1025, 'f'));
    EXPECT_EQ(clients[1].ReadUntilClosed(2000), "RPRT -1 Ostrelle closes a line longer than 1024 bytes\n");
    EXPECT_EQ(clients[0].Ask("m\n"), "FM\n15000\n");
    // So does a line not ended in time, however its bytes trickle in.
    TestClient trickler(server.Port());
    std::string told;
    for (int i = 0; i < 10 && !trickler.Closed(); ++i) {
        trickler.Send("f");
        told += trickler.ReadFor(100);
    }
    EXPECT_EQ(told, "RPRT -8 Ostrelle closes a line not ended within 0.3 s\n");
    clients[2].Send(std::string(1024, ' ') + "\n");
    EXPECT_EQ(clients[2].Ask("f\n"), "146520000\n") << "1024 bytes are still a line";

    // Lines sent together, ended as rigctld ends them (a carriage return
    // alone ends one too), the last without its newline, and the sender's
    // side shut: every one is answered, each reply in one piece, then closed.
    clients[3].Send("v\n+f\r\nf\r\rl RAWSTR");
    clients[3].ShutWrite();
    EXPECT_EQ(clients[3].ReadUntilClosed(2000), "VFOA\nget_freq:\nFrequency: 146520000\nRPRT 0\n146520000\n100\n");

    // Silence past the limit closes a client; one that talks stays.
    for (int i = 0; i < 18; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        ASSERT_EQ(clients[0].Ask("t\n"), "0\n");
    }
    EXPECT_EQ(clients[2].ReadUntilClosed(2000), "");
    EXPECT_TRUE(WaitUntil([&] { return server.Clients() == 1; }, 2000)) << server.Clients();
    server.Stop();
    EXPECT_EQ(clients[0].ReadUntilClosed(2000), "");
    EXPECT_EQ(server.Endpoint(), "");
}

// The lock-out attack, with the limits as shipped: four clients hold every
// place, each sending a byte every half second and never a whole line, and
// connecting again whenever they are closed. Each program that comes while
// they do gets its place and its answer within the give-way time, and the
// tricklers are told why they go. (An unended line's own limit is in the
// test above.)
TEST(RigctlServer, TricklingClientsLockNobodyOut)
{
    ServedRadio served([](control::ServerSettings&) {});
    ASSERT_TRUE(served.started) << served.error;
    const uint16_t port = served.server.Port();
    std::atomic<bool> attacking{true};
    std::mutex heardLock;
    std::string heard;
    constexpr int TRICKLERS = 4;
    std::vector<std::thread> tricklers;
    tricklers.reserve(TRICKLERS);
    for (int i = 0; i < TRICKLERS; ++i) {
        tricklers.emplace_back([&] {
            while (attacking) {
                TestClient trickler(port);
                while (attacking && !trickler.Closed()) {
                    trickler.Send("f");
                    const std::string got = trickler.ReadFor(500);
                    const std::lock_guard<std::mutex> guard(heardLock);
                    heard += got;
                }
            }
        });
    }
    EXPECT_TRUE(WaitUntil([&] { return served.server.Clients() == 4; }, 3000)) << served.server.Clients();
    for (int i = 0; i < 3; ++i) {
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(TestClient(port).Ask("f\n", 5000), "146520000\n") << i;
        EXPECT_LE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(2600)) << "gives way after 2 s";
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
    }
    attacking = false;
    for (std::thread& t : tricklers) {
        t.join();
    }
    EXPECT_NE(heard.find("RPRT -9 Ostrelle gave this place to a waiting program after 2 s without a command\n"),
              std::string::npos);
}

// A set is answered once the radio has been heard twice after its frame,
// so that the read-back finds it there; a refused frame at once, with its code.
TEST(RigctlServer, SetsWaitForTheRadioAndCarryTheLinksAnswer)
{
    ServedRadio served([](control::ServerSettings& s) { s.confirmLimitMs = 5000; });
    ASSERT_TRUE(served.started) << served.error;
    FakeAccess& radio = served.radio;
    control::RigctlServer& server = served.server;
    TestClient client(server.Port());

    client.Send("F 145000000\nf\n");
    ASSERT_TRUE(WaitUntil([&] { return radio.TuneCount() == 1; }, 2000));
    EXPECT_EQ(client.ReadFor(100), "") << "answered before the radio was heard";
    radio.Store();
    EXPECT_EQ(client.ReadFor(100), "");
    radio.SetStatus(145000000, 1, 100);
    radio.Store();
    EXPECT_EQ(client.ReadFor(500), "RPRT 0\n145000000\n");
    EXPECT_EQ(radio.LastTune(), std::make_pair(145000000u, int32_t{1}));

    for (const auto& [result, reply] : {std::pair{SendResult::LineOwned, "RPRT -9\n"},
                                        std::pair{SendResult::LinkStopped, "RPRT -5\n"}}) {
        radio.result = result;
        EXPECT_EQ(client.Ask("+F 1000\n"), std::string("set_freq: 1000\n") + reply);
    }
    EXPECT_EQ(server.framesSent.load(), 1u);
}

} // namespace
