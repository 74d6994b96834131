#include "serial/portname.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include <unistd.h>

namespace {

namespace fs = std::filesystem;

TEST(PortName, ComNumberParsesOnlyWellFormedNames)
{
    const struct {
        const char* name;
        long number;
    } cases[] = {
        {"\\\\.\\COM1", 1},        {"\\\\.\\COM256", 256},    {"COM7", 7},
        {"COM007", 7},             {"COM999999999", 999999999}, {"COM0", 0},
        {"COM1234567890", -1},     {"COM", -1},               {"\\\\.\\COM", -1},
        {"com1", -1},              {"COM-1", -1},             {"COM+1", -1},
        {"COM1x", -1},             {"COM 1", -1},             {"XCOM1", -1},
        {"\\\\.\\\\COM1", -1},     {"", -1},                  {"/dev/ttyUSB0", -1},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(ComNumberOfPortName(c.name), c.number) << c.name;
    }
}

class PortMapping : public ::testing::Test {
protected:
    void SetUp() override
    {
        exeDir = fs::temp_directory_path() / ("ostrelle-ports-" + std::to_string(::getpid()));
        fs::create_directories(exeDir / "ports");
    }
    void TearDown() override { fs::remove_all(exeDir); }

    std::string Map(const std::string& name) const { return DeviceForPortName(name, exeDir.string()); }

    fs::path exeDir;
};

TEST_F(PortMapping, ComNamesFallBackToTtyS)
{
    EXPECT_EQ(Map("\\\\.\\COM1"), "/dev/ttyS0");
    EXPECT_EQ(Map("\\\\.\\COM12"), "/dev/ttyS11");
    EXPECT_EQ(Map("COM3"), "/dev/ttyS2");
}

TEST_F(PortMapping, LinkBesideTheExecutableWins)
{
    fs::create_symlink("/dev/null", exeDir / "ports" / "COM4");
    // A link whose target is gone is still the user's choice, so the failure
    // later names the device that the link points to.
    fs::create_symlink(exeDir / "gone", exeDir / "ports" / "COM5");
    EXPECT_EQ(Map("\\\\.\\COM4"), (exeDir / "ports" / "COM4").string());
    EXPECT_EQ(Map("\\\\.\\COM5"), (exeDir / "ports" / "COM5").string());
    EXPECT_EQ(Map("\\\\.\\COM6"), "/dev/ttyS5");
}

TEST_F(PortMapping, OtherNamesPassThrough)
{
    for (const char* name : {"/dev/pts/3", "/dev/ttyUSB0", "relative/name", "COMX", ""}) {
        EXPECT_EQ(Map(name), name);
    }
}

TEST_F(PortMapping, ComZeroNamesNoTtySDevice)
{
    // There is no serial port before ttyS0; COM0 must not become "ttyS-1".
    EXPECT_EQ(Map("\\\\.\\COM0").find("ttyS-"), std::string::npos) << Map("\\\\.\\COM0");
}

} // namespace
