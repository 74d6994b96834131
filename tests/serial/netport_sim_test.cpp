// The network port against the real thing: radiosim's terminal served by
// ser2net on loopback, which the test starts, kills in the middle of work,
// and starts again.

#include "transfer/imagetransfer.h"
#include "serial/keptfiles.h"
#include "protocol/radiolink.h"
#include "simroute.h"
#include "transfertestsupport.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

using std::chrono::milliseconds;
using std::chrono::steady_clock;

// A worker that spins on a lost connection burns a core; one that waits in
// the kernel uses next to nothing.
double CpuMs()
{
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    return (usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1000.0 +
           (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1000.0;
}
constexpr double kIdleCpuShare = 0.25;

bool OpenOn(CSerialPort& port, const std::string& name)
{
    return port.Open(name.c_str(), 115200, 'N', 8, 1, true, true);
}

class ThroughSer2Net : public ::testing::TestWithParam<Route> {
protected:
    void Begin(std::vector<std::string> args = {})
    {
        ASSERT_EQ(StartRouted(std::move(args), GetParam(), sim, route), "");
    }
    Ser2NetProcess& Server() { return *route->Server(); }
    std::string Name() const { return route->PortName(); }

    // After the server came back, START works again and the radio answers.
    void ExpectReconnect(RadioLink& link)
    {
        ASSERT_TRUE(Server().Start()) << Server().Error();
        ASSERT_TRUE(OpenOn(link.Port(), Name())) << link.Port().LastError().text;
        const uint64_t before = link.Stats().statusRepliesStored;
        link.StartPolling();
        EXPECT_TRUE(WaitUntil([&] { return link.Stats().statusRepliesStored > before + 2; }, 3000));
        link.StopWorker();
    }

    // The connection is gone: the port says so soon (a polling link lets it
    // go and waits for it), and the worker neither hangs nor spins.
    void ExpectLostWithoutSpinning(RadioLink& link, bool polling)
    {
        EXPECT_TRUE(WaitUntil([&] { return polling ? link.State() == LinkState::PortGone : link.Port().HungUp(); },
                              1000));
        const double cpu0 = CpuMs();
        const auto t0 = steady_clock::now();
        std::this_thread::sleep_for(milliseconds(800));
        const double wall = static_cast<double>(MsBetween(t0, steady_clock::now()));
        EXPECT_LT(CpuMs() - cpu0, wall * kIdleCpuShare);
    }

    std::unique_ptr<SimProcess> sim;
    std::unique_ptr<SimRoute> route;
};

TEST_P(ThroughSer2Net, KillDuringPollEndsBoundedAndStartReconnects)
{
    Begin();
    RadioLink link;
    ASSERT_TRUE(OpenOn(link.Port(), Name())) << link.Port().LastError().text;
    link.StartPolling();
    ASSERT_TRUE(WaitUntil([&] { return link.StatusValid(); }, 3000));

    Server().Kill();
    ExpectLostWithoutSpinning(link, true);
    const uint64_t stored = link.Stats().statusRepliesStored;
    const auto stopAt = steady_clock::now();
    link.StopWorker();
    EXPECT_LT(MsBetween(stopAt, steady_clock::now()), 500);
    EXPECT_LE(link.Stats().statusRepliesStored, stored + 1);

    // START while the server is away fails at once and says why.
    const auto openAt = steady_clock::now();
    EXPECT_FALSE(OpenOn(link.Port(), Name()));
    EXPECT_LT(MsBetween(openAt, steady_clock::now()), 1000);
    EXPECT_NE(link.Port().LastError().text.find("refused the connection"), std::string::npos)
        << link.Port().LastError().text;

    ExpectReconnect(link);

    // A link left running finds the server again by itself, by the same name.
    ASSERT_TRUE(OpenOn(link.Port(), Name())) << link.Port().LastError().text;
    link.StartPolling();
    ASSERT_TRUE(WaitUntil([&] { return link.StatusValid(); }, 3000));
    Server().Kill();
    ExpectLostWithoutSpinning(link, true);
    ASSERT_TRUE(Server().Start()) << Server().Error();
    const uint64_t before = link.Stats().statusRepliesStored;
    EXPECT_TRUE(WaitUntil(
        [&] { return link.State() == LinkState::Answering && link.Stats().statusRepliesStored > before + 2; }, 4000));
    link.StopWorker();
}

TEST_P(ThroughSer2Net, KillDuringTransferEndsAsLinkLost)
{
    ScratchDir dir;
    Begin({"--records", "200", "--image", dir.File("radio.bin")});
    const std::string outgoing = dir.Write("out.bin", PatternBytes(200 * 132));
    for (const bool receiving : {true, false}) {
        SCOPED_TRACE(receiving ? "receiving" : "sending");
        RadioLink link;
        ASSERT_TRUE(OpenOn(link.Port(), Name())) << link.Port().LastError().text;
        link.SetRunningForTest(true);
        ImageTransfer transfer;
        transfer.SetProgressStream(nullptr);
        ASSERT_EQ(receiving ? transfer.OpenForReceiving(dir.File("in.bin")) : transfer.OpenForSending(outgoing), "");
        ASSERT_TRUE(transfer.Start(link));
        std::this_thread::sleep_for(milliseconds(700));
        Server().Kill();
        ExpectLostWithoutSpinning(link, false);
        const auto t0 = steady_clock::now();
        const TransferReport report = SuperviseUntilEnded(link, transfer, 5000);
        EXPECT_TRUE(report.ended);
        EXPECT_LT(MsBetween(t0, steady_clock::now()), 3000);
        EXPECT_EQ(report.outcome, TransferOutcome::LinkLost) << report.message;
        link.StopWorker();
        ExpectReconnect(link);
    }
}

// ser2net serves one client at a time; the second is told the port is in use,
// and gets it once the first has let go.
TEST_P(ThroughSer2Net, OneClientAtATime)
{
    Begin();
    CSerialPort first;
    CSerialPort second;
    ASSERT_TRUE(OpenOn(first, Name())) << first.LastError().text;
    const auto t0 = steady_clock::now();
    EXPECT_FALSE(OpenOn(second, Name()));
    EXPECT_LT(MsBetween(t0, steady_clock::now()), 2000);
    const std::string text = second.LastError().text;
    EXPECT_NE(text.find("closed the connection"), std::string::npos) << text;
    EXPECT_NE(text.find("Port already in use"), std::string::npos) << text;
    first.Close();
    EXPECT_TRUE(WaitUntil([&] { return OpenOn(second, Name()); }, 2000)) << second.LastError().text;
}

// Status replies stored in 1.5 s of polling, through ser2net the given way.
uint64_t StatusRepliesIn1500Ms(Route way)
{
    std::unique_ptr<SimProcess> sim;
    std::unique_ptr<SimRoute> route;
    if (!StartRouted({}, way, sim, route).empty()) {
        return 0;
    }
    RadioLink link;
    if (!OpenOn(link.Port(), route->PortName())) {
        return 0;
    }
    link.StartPolling();
    WaitUntil([&] { return link.StatusValid(); }, 3000);
    const uint64_t stored0 = link.Stats().statusRepliesStored;
    std::this_thread::sleep_for(milliseconds(1500));
    const uint64_t stored = link.Stats().statusRepliesStored - stored0;
    link.StopWorker();
    return stored;
}

// Every command is preceded by a purge, which ser2net carries out in its own
// time; a command sent before the purge is confirmed has its reply held up
// (to a third of the pace, when this was not waited for). With the wait,
// RFC 2217 keeps the pace of plain TCP.
TEST(NetworkPortPurge, DoesNotHoldUpTheNextReply)
{
    const uint64_t plain = StatusRepliesIn1500Ms(Route::RawTcp);
    const uint64_t telnet = StatusRepliesIn1500Ms(Route::Rfc2217);
    ASSERT_GT(plain, 10u);
    EXPECT_GE(telnet * 2, plain) << telnet << " replies through RFC 2217, " << plain << " through plain TCP";
}

INSTANTIATE_TEST_SUITE_P(Routes, ThroughSer2Net, ::testing::Values(Route::Rfc2217, Route::RawTcp), RouteName());

// A listener that never answers: the kernel completes the connection, and
// nothing more ever comes.
class SilentListener {
public:
    SilentListener()
    {
        fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        if (fd >= 0 && ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 && ::listen(fd, 4) == 0 &&
            ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) == 0) {
            port = ntohs(a.sin_port);
        }
    }
    ~SilentListener()
    {
        if (fd >= 0) {
            ::close(fd);
        }
    }
    int port = 0;

private:
    int fd = -1;
};

TEST(NetworkPortOpen, FailuresSayWhyWithinABound)
{
    ScratchDir dir;
    SilentListener silent;
    ASSERT_NE(silent.port, 0);
    const int nobody = FreeLoopbackPort();
    const struct {
        const char* name;
        std::string line;
        std::vector<std::string> reasons; // any of them
        int boundMs;
    } cases[] = {
        {"refused", "rfc2217://127.0.0.1:" + std::to_string(nobody), {"refused the connection"}, 1000},
        {"refused, plain", "tcp://127.0.0.1:" + std::to_string(nobody), {"refused the connection"}, 1000},
        // Without a name server the look-up may also run out of time.
        {"unknown host", "rfc2217://no-such-host.invalid:4001", {"is unknown", "took longer", "could not be looked up"},
         4000},
        {"no Telnet", "rfc2217://127.0.0.1:" + std::to_string(silent.port), {"gave no Telnet answer"}, 2000},
        {"not an endpoint", "rfc2217://127.0.0.1", {"not a serial device, nor a file"}, 500},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::ofstream(dir.File("COM9")) << c.line << "\n";
        CSerialPort port;
        const auto t0 = steady_clock::now();
        EXPECT_FALSE(OpenOn(port, dir.File("COM9")));
        EXPECT_LT(MsBetween(t0, steady_clock::now()), c.boundMs);
        EXPECT_FALSE(port.IsOpen());
        const std::string text = port.LastError().text;
        // The reason alone: the caller's own first line says that the port did not open.
        EXPECT_EQ(text.find("Unable to open"), std::string::npos) << text;
        bool found = false;
        for (const auto& reason : c.reasons) {
            found = found || text.find(reason) != std::string::npos;
        }
        EXPECT_TRUE(found) << text;
    }
}

// The way the program opens it: a COM number whose ports/ entry beside the
// executable is an endpoint file. The core object then mirrors the radio.
TEST(NetworkPortOpen, ComNumberWithAnEndpointFileMirrorsTheRadio)
{
    namespace fs = std::filesystem;
    SimProcess sim;
    ASSERT_TRUE(sim.Started()) << sim.Error();
    Ser2NetProcess server(sim.SlavePath(), Ser2NetProcess::Mode::Rfc2217);
    ASSERT_TRUE(server.Started()) << server.Error();
    const fs::path ports = fs::path(KeptFilesDirectory()) / "ports";
    fs::create_directories(ports);
    const int number = 4000 + static_cast<int>(::getpid() % 1000); // clear of the numbers other tests use
    const fs::path entry = ports / ("COM" + std::to_string(number));
    std::ofstream(entry) << server.EndpointLine() << "\n";

    RadioLink link;
    const auto t0 = steady_clock::now();
    const bool opened = link.OpenPort(number);
    // The modem lines of a pseudo-terminal are never confirmed; the open goes
    // on after a bounded wait instead of hanging.
    EXPECT_LT(MsBetween(t0, steady_clock::now()), 1500);
    fs::remove(entry);
    ASSERT_TRUE(opened) << link.OpenError();
    link.StartPolling();
    EXPECT_TRUE(WaitUntil([&] { return link.LcdValid() && link.StatusValid(); }, 3000));
    EXPECT_NE(link.Snapshot().lcd.rows[0][0], 0);
    link.StopWorker();
}

} // namespace
