#include "fakeporttree.h"
#include "portholder.h"
#include "serial/portmap.h"
#include "ptypair.h"
#include "serial/serialport.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>

#include <grp.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;

// The fake tree with two programs in /proc holding devices and one holding none.
class PortMapTree : public ::testing::Test, public FakePortTree {
protected:
    PortMapTree() : FakePortTree("portmap") {}

    void SetUp() override
    {
        WriteFile(root / "proc/100/cmdline", std::string("/usr/bin/minicom\0-D\0/dev/ttyUSB0\0", 32));
        Link(root / "dev/ttyUSB0", root / "proc/100/fd/3");
        Link(root / "dev/ttyUSB1", root / "proc/100/fd/4");
        WriteFile(root / "proc/102/comm", "picocom\n");
        Link(root / "dev/ttyACM0", root / "proc/102/fd/5");
        Link(root / "dev/null-ish", root / "proc/101/fd/0");
        Link(root / "dev/ttyUSB0", root / "proc/self/fd/9"); // not a process number: ignored
    }

    void MakeUserMap()
    {
        Link(root / "dev/serial/by-id/usb-Alpha_FT232R_A50285BI-if00-port0", root / "ports/COM1");
        Link("/nonexistent/ttyUSB9", root / "ports/COM2");
        WriteFile(root / "ports/COM3", "tcp://pi.local:3333\n");
        WriteFile(root / "ports/COM4", "rfc2217://10.0.0.2:7000");
        WriteFile(root / "ports/COM5", "/dev/ttyUSB0\n");
        Link(root / "dev/ttyACM0", root / "ports/COM10");
        WriteFile(root / "ports/COM11", "tcp://pi.local:3333\nrfc2217://pi.local:4444\n");
        fs::create_directories(root / "ports/COM6");
        WriteFile(root / "ports/README", "not a port");
        Link(root / "dev/ttyUSB1", root / "ports/COMX");
    }
};

TEST_F(PortMapTree, MapListsEveryEntryInNumberOrderWithItsState)
{
    MakeUserMap();
    const struct {
        int number;
        PortEntryKind kind;
        std::string target;
        std::string device;
        bool exists;
        std::string holders;
    } expected[] = {
        {1, PortEntryKind::Link, (root / "dev/serial/by-id/usb-Alpha_FT232R_A50285BI-if00-port0").string(),
         Dev("ttyUSB0"), true, "minicom (pid 100)"},
        {2, PortEntryKind::Link, "/nonexistent/ttyUSB9", "", false, ""},
        {3, PortEntryKind::Network, "tcp://pi.local:3333", "", false, ""},
        {4, PortEntryKind::Network, "rfc2217://10.0.0.2:7000", "", false, ""},
        {5, PortEntryKind::Unusable, "a file that names no device", "", false, ""},
        {6, PortEntryKind::Unusable, "a folder", "", false, ""},
        {10, PortEntryKind::Link, Dev("ttyACM0"), Dev("ttyACM0"), true, "picocom (pid 102)"},
        {11, PortEntryKind::Unusable, "a file that names no device", "", false, ""},
    };
    const std::vector<PortEntry> map = ReadPortMap(roots);
    ASSERT_EQ(map.size(), std::size(expected));
    for (size_t i = 0; i < map.size(); ++i) {
        const auto& want = expected[i];
        const PortEntry& got = map[i];
        EXPECT_EQ(got.number, want.number) << i;
        EXPECT_EQ(got.kind, want.kind) << want.number;
        EXPECT_EQ(got.target, want.target) << want.number;
        EXPECT_EQ(got.device, want.device) << want.number;
        EXPECT_EQ(got.state.exists, want.exists) << want.number;
        EXPECT_EQ(DescribeHolders(got.state.holders), want.holders) << want.number;
    }
}

TEST_F(PortMapTree, EntriesReadAsTheUserSeesThem)
{
    MakeUserMap();
    const std::vector<PortEntry> map = ReadPortMap(roots);
    ASSERT_GE(map.size(), 4u);
    EXPECT_EQ(DescribePortEntry(map[0]), "COM1  " + map[0].target + " -> " + Dev("ttyUSB0") +
                                             ": in use by minicom (pid 100)");
    EXPECT_EQ(DescribePortEntry(map[1]), "COM2  /nonexistent/ttyUSB9: missing");
    EXPECT_EQ(DescribePortEntry(map[2]), "COM3  tcp://pi.local:3333: network endpoint");
}

TEST_F(PortMapTree, ProposalNumbersTheByIdDevicesInNameOrder)
{
    const std::vector<PortEntry> proposal = ProposePortMap(roots);
    const struct {
        const char* name;
        const char* device;
        const char* holders;
    } expected[] = {
        {"usb-Alpha_FT232R_A50285BI-if00-port0", "ttyUSB0", "minicom (pid 100)"},
        {"usb-Beta_UART-if00-port0", "ttyUSB1", "minicom (pid 100)"},
        {"usb-Gamma_CDC-if00", "ttyACM0", "picocom (pid 102)"},
    };
    ASSERT_EQ(proposal.size(), std::size(expected));
    for (size_t i = 0; i < proposal.size(); ++i) {
        EXPECT_EQ(proposal[i].number, static_cast<int>(i) + 1);
        EXPECT_EQ(proposal[i].target, (root / "dev/serial/by-id" / expected[i].name).string());
        EXPECT_EQ(proposal[i].device, Dev(expected[i].device));
        EXPECT_EQ(DescribeHolders(proposal[i].state.holders), expected[i].holders);
    }
    // Proposing writes nothing.
    EXPECT_FALSE(fs::exists(root / "ports"));

    // The same cables give the same numbers however the folder lists them.
    fs::remove_all(root / "dev/serial/by-id");
    Link("../../ttyACM0", root / "dev/serial/by-id/usb-Gamma_CDC-if00");
    Link("../../ttyUSB0", root / "dev/serial/by-id/usb-Alpha_FT232R_A50285BI-if00-port0");
    Link("../../ttyUSB1", root / "dev/serial/by-id/usb-Beta_UART-if00-port0");
    const std::vector<PortEntry> again = ProposePortMap(roots);
    ASSERT_EQ(again.size(), proposal.size());
    for (size_t i = 0; i < again.size(); ++i) {
        EXPECT_EQ(again[i].target, proposal[i].target);
    }
}

TEST_F(PortMapTree, NoProposalOnceTheUserHasAnyEntry)
{
    WriteFile(root / "ports/COM7", "tcp://host:1\n");
    EXPECT_TRUE(ProposePortMap(roots).empty());
    fs::remove(root / "ports/COM7");
    EXPECT_EQ(ProposePortMap(roots).size(), 3u);
    roots.byIdDirectory = (root / "no-such-folder").string();
    EXPECT_TRUE(ProposePortMap(roots).empty());
}

TEST_F(PortMapTree, KeptProposalBecomesTheMap)
{
    const std::vector<PortEntry> proposal = ProposePortMap(roots);
    std::string error;
    ASSERT_TRUE(KeepProposal(roots, proposal, error)) << error;
    const std::vector<PortEntry> map = ReadPortMap(roots);
    ASSERT_EQ(map.size(), proposal.size());
    for (size_t i = 0; i < map.size(); ++i) {
        EXPECT_EQ(map[i].number, proposal[i].number);
        EXPECT_EQ(map[i].target, proposal[i].target);
        EXPECT_EQ(map[i].device, proposal[i].device);
    }
    // Only the links: no temporary names left behind.
    EXPECT_EQ(std::distance(fs::directory_iterator(root / "ports"), fs::directory_iterator()), 3);
}

TEST_F(PortMapTree, WritingAndRemovingSparesWhatIsNotALink)
{
    MakeUserMap();
    const struct {
        bool write;
        int number;
        bool force;
        bool ok;
    } steps[] = {
        {true, 1, false, true},    // a link is replaced
        {true, 8, false, true},    // a new one is made
        {true, 3, false, false},   // a network endpoint is kept
        {false, 4, false, false},  // and not removed
        {true, 6, true, false},    // a folder never goes
        {false, 6, true, false},
        {false, 2, false, true},   // a dangling link goes
        {false, 9, false, true},   // nothing there: nothing to do
        {true, 3, true, true},     // the user asked: the endpoint is replaced
        {false, 5, true, true},    // and the odd file removed
    };
    for (const auto& step : steps) {
        std::string error;
        const bool ok = step.write ? WritePortLink(roots, step.number, Dev("ttyUSB1"), step.force, error)
                                   : RemovePortLink(roots, step.number, step.force, error);
        EXPECT_EQ(ok, step.ok) << (step.write ? "write COM" : "remove COM") << step.number << ": " << error;
        EXPECT_EQ(error.empty(), step.ok) << error;
    }
    const auto type = [&](const char* name) { return fs::symlink_status(root / "ports" / name).type(); };
    EXPECT_EQ(fs::read_symlink(root / "ports/COM1"), Dev("ttyUSB1"));
    EXPECT_EQ(fs::read_symlink(root / "ports/COM8"), Dev("ttyUSB1"));
    EXPECT_EQ(fs::read_symlink(root / "ports/COM3"), Dev("ttyUSB1"));
    EXPECT_EQ(type("COM4"), fs::file_type::regular);
    EXPECT_EQ(type("COM6"), fs::file_type::directory);
    EXPECT_EQ(type("COM2"), fs::file_type::not_found);
    EXPECT_EQ(type("COM5"), fs::file_type::not_found);

    std::string error;
    EXPECT_FALSE(WritePortLink(roots, 11, "", false, error));
    EXPECT_FALSE(WritePortLink(roots, 11, "/dev/tty\nUSB0", false, error));
    EXPECT_FALSE(WritePortLink(roots, -1, Dev("ttyUSB0"), false, error));
}

TEST(PortMapEndpoint, OnlyOneLineOfSchemeHostAndPortIsAnEndpoint)
{
    const struct {
        const char* text;
        bool endpoint;
    } cases[] = {
        {"tcp://pi.local:3333", true},   {"rfc2217://10.0.0.2:7000\n", true}, {"tcp://[::1]:2000", true},
        {"rfc2217://host:65535\r\n", true}, {"tcp://host:65536", false},    {"tcp://host:0", false},
        {"tcp://host:", false},          {"tcp://:3333", false},            {"tcp://host", false},
        {"udp://host:3333", false},      {"/dev/ttyUSB0", false},           {"", false},
        {"tcp://ho st:1", false},        {"tcp://host:12a", false},         {"TCP://host:1", false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(IsNetworkEndpoint(c.text), c.endpoint) << c.text;
    }
}

TEST_F(PortMapTree, ADeviceThatMayNotBeOpenedIsNotPermitted)
{
    if (::geteuid() == 0) {
        GTEST_SKIP() << "root may open anything";
    }
    fs::permissions(root / "dev/ttyUSB1", fs::perms::none);
    MakeUserMap();
    std::string error;
    ASSERT_TRUE(WritePortLink(roots, 1, Dev("ttyUSB1"), false, error)) << error;
    const PortEntry first = ReadPortMap(roots).front();
    EXPECT_TRUE(first.state.exists);
    EXPECT_FALSE(first.state.permitted);
    fs::remove(root / "proc/100/fd/4");
    EXPECT_EQ(DescribePortEntry(ReadPortMap(roots).front()), "COM1  " + Dev("ttyUSB1") + ": not permitted");
}

// The real /proc, a real pseudo-terminal and another process holding it.
TEST(PortMapHolders, AProcessHoldingTheTerminalIsNamed)
{
    PtyPair pty;
    ASSERT_TRUE(pty.Ok());
    PortMapRoots roots;
    EXPECT_TRUE(InspectDevice(pty.SlavePath(), roots).holders.empty());
    PortHolderProcess holder(pty.SlavePath());
    ASSERT_TRUE(holder.Ready());
    const PortState state = InspectDevice(pty.SlavePath(), roots);
    EXPECT_TRUE(state.exists);
    ASSERT_EQ(state.holders.size(), 1u);
    EXPECT_EQ(state.holders[0].pid, holder.Pid());
    EXPECT_EQ(state.holders[0].program, "port_holder");
    EXPECT_FALSE(state.holders[0].self);

    // START's reason names it too.
    CSerialPort port;
    EXPECT_FALSE(OpenOnPty(port, pty));
    const std::string text = port.LastError().text;
    EXPECT_EQ(text, pty.SlavePath() + " is already in use by port_holder (pid " + std::to_string(holder.Pid()) +
                        "): end that program first.");
}

TEST(PortMapHolders, ThisProgramHoldingThePortSaysSo)
{
    PtyPair pty;
    ASSERT_TRUE(pty.Ok());
    CSerialPort first;
    ASSERT_TRUE(OpenOnPty(first, pty)) << first.LastError().text;
    const PortState state = InspectDevice(pty.SlavePath(), PortMapRoots{});
    ASSERT_EQ(state.holders.size(), 1u);
    EXPECT_TRUE(state.holders[0].self);
    EXPECT_EQ(DescribeHolders(state.holders), "this program");
}

// Each reason an open fails is told once, in words, with what to do where
// the port knows it, and without the system's error numbers.
TEST_F(PortMapTree, OpenFailuresSayWhatIsWrongAndWhatToDo)
{
    Link(root / "dev/ttyGONE", Port(4));
    Link(Dev("ttyUSB0"), Port(5));
    const struct {
        long code;
        std::string port;
        std::string device;
        SerialFault fault;
        std::string text;
    } cases[] = {
        // Nothing linked, and the system's device for the number fails:
        // both are said, whatever the device's reason.
        {ENOENT, "COM 7", Dev("ttyS6"), SerialFault::Missing,
         "Nothing is linked as COM 7 in the COM map, and " + Dev("ttyS6") + ", which COM 7 opens without a link, "
         "does not exist."},
        {ENXIO, "COM 7", Dev("ttyS6"), SerialFault::Missing,
         "Nothing is linked as COM 7 in the COM map, and " + Dev("ttyS6") + ", which COM 7 opens without a link, "
         "has no device behind it."},
        {EACCES, "COM 1", "/nonexistent/ttyS0", SerialFault::Missing,
         "Nothing is linked as COM 1 in the COM map, and /nonexistent/ttyS0, which COM 1 opens without a link, "
         "could not be opened: " + std::string(std::strerror(EACCES)) + ". Add yourself to the dialout group (sudo "
         "adduser $USER dialout), then log out and in again."},
        {ENOENT, "COM 4", Port(4).string(), SerialFault::Missing,
         "COM 4 leads to " + (root / "dev/ttyGONE").string() + ", which does not exist: is the cable plugged in?"},
        {ENOENT, Dev("ttyUSB9"), Dev("ttyUSB9"), SerialFault::Missing,
         Dev("ttyUSB9") + " does not exist: is the cable plugged in?"},
        {EBUSY, "COM 5", Port(5).string(), SerialFault::Busy,
         "COM 5 (" + Dev("ttyUSB0") + ") is already in use by another program: end that program first."},
        {ENOTTY, "COM 5", Port(5).string(), SerialFault::NotSerial,
         "COM 5 (" + Dev("ttyUSB0") + ") is not a serial device."},
        {EISDIR, "COM 5", Port(5).string(), SerialFault::Other,
         "COM 5 (" + Dev("ttyUSB0") + ") could not be opened: " + std::strerror(EISDIR) + "."},
        {EACCES, "COM 5", Port(5).string(), SerialFault::NotPermitted,
         "You have no permission to use COM 5 (" + Dev("ttyUSB0") + "). " + PermissionAdvice(Dev("ttyUSB0"))},
    };
    for (const auto& c : cases) {
        const SerialError error = MakeOpenError(c.code, c.port, c.device);
        EXPECT_EQ(error.text, c.text);
        EXPECT_EQ(error.fault, c.fault) << c.text;
        EXPECT_EQ(error.code, c.code) << c.text;
    }
    // A device only root's group may use: no group the user could join helps.
    if (::geteuid() == 0 && ::chown(Dev("ttyUSB0").c_str(), 0, 0) == 0) {
        EXPECT_EQ(PermissionAdvice(Dev("ttyUSB0")).rfind("It belongs to root's group", 0), 0u);
    }
}

// The far end of a pseudo-terminal (radiosim, a terminal emulator) holds its
// master side and often its slave side as well: it is the radio, not a user
// of the port, and is never named as one.
TEST(PortMapHolders, TheFarEndOfATerminalIsNoUserOfIt)
{
    int toParent[2] = {-1, -1};
    int toChild[2] = {-1, -1};
    ASSERT_EQ(::pipe(toParent), 0);
    ASSERT_EQ(::pipe(toChild), 0);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ::close(toParent[0]);
        ::close(toChild[1]);
        // Both ends, as radiosim holds them.
        const int master = ::posix_openpt(O_RDWR | O_NOCTTY);
        char name[128] = {};
        const bool made = master >= 0 && ::grantpt(master) == 0 && ::unlockpt(master) == 0 &&
                          ::ptsname_r(master, name, sizeof name) == 0 && ::open(name, O_RDWR | O_NOCTTY) >= 0;
        const size_t size = made ? std::strlen(name) + 1 : 1;
        char c = 0;
        if (::write(toParent[1], made ? name : "", size) == static_cast<ssize_t>(size)) {
            (void)::read(toChild[0], &c, 1);
        }
        ::_exit(0);
    }
    ::close(toParent[1]);
    ::close(toChild[0]);
    char name[128] = {};
    const ssize_t got = ::read(toParent[0], name, sizeof name - 1);
    const std::string slave(name);
    ASSERT_GT(got, 1);
    EXPECT_TRUE(InspectDevice(slave, PortMapRoots{}).holders.empty());
    {
        PortHolderProcess holder(slave);
        ASSERT_TRUE(holder.Ready());
        const PortState state = InspectDevice(slave, PortMapRoots{});
        ASSERT_EQ(state.holders.size(), 1u);
        EXPECT_EQ(state.holders[0].pid, holder.Pid());
    }
    ::close(toChild[1]);
    ::close(toParent[0]);
    int status = 0;
    ::waitpid(child, &status, 0);
}

TEST_F(PortMapTree, PermissionAdviceNamesTheGroupOfTheDevice)
{
    const group* tty = ::getgrnam("tty");
    if (tty == nullptr || ::chown(Dev("ttyUSB0").c_str(), static_cast<uid_t>(-1), tty->gr_gid) != 0) {
        GTEST_SKIP() << "cannot give a file to the tty group here";
    }
    const std::string advice = PermissionAdvice(Dev("ttyUSB0"));
    bool inTty = ::getegid() == tty->gr_gid;
    gid_t groups[256];
    const int n = ::getgroups(256, groups);
    for (int i = 0; i < n; ++i) {
        inTty = inTty || groups[i] == tty->gr_gid;
    }
    if (inTty) {
        EXPECT_NE(advice.find("The tty group, which you are in"), std::string::npos) << advice;
    } else {
        EXPECT_NE(advice.find("tty group"), std::string::npos) << advice;
        EXPECT_NE(advice.find("log out and in again"), std::string::npos) << advice;
    }
}

} // namespace
