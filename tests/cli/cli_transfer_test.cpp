// read and write as a backup script uses them: byte for byte both ways, the
// radio's memory replaced only when asked, and Ctrl-C in the middle ends the
// program at once without leaving a half image in place of an old one.

#include "ctlprocess.h"
#include "simprocess.h"

#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>

#include <unistd.h>

namespace {

namespace fs = std::filesystem;

std::string Image(int records, uint32_t seed)
{
    std::mt19937 rng(seed);
    std::string bytes(static_cast<size_t>(records) * 132, '\0');
    for (char& c : bytes) {
        c = static_cast<char>(rng() & 0xFF);
    }
    return bytes;
}

std::string Slurp(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

void Put(const fs::path& path, const std::string& bytes)
{
    std::ofstream(path, std::ios::binary) << bytes;
}

class CliTransfer : public ::testing::Test {
protected:
    void SetUp() override
    {
        dir = fs::temp_directory_path() / ("ostrellectl-transfer-" + std::to_string(::getpid()));
        fs::remove_all(dir);
        fs::create_directories(dir);
    }
    void TearDown() override { fs::remove_all(dir); }

    size_t UploadsSeen(const SimProcess& sim) const
    {
        size_t count = 0;
        for (const std::string& line : sim.TraceLines()) {
            count += line.find("PC->RADIO  02 50 03 03 56") != std::string::npos ? 1 : 0;
        }
        return count;
    }

    fs::path dir;
};

TEST_F(CliTransfer, ReadAndWriteRoundTripByteForByte)
{
    const std::string a = Image(20, 1);
    const std::string b = Image(20, 2);
    Put(dir / "radio.bin", a);
    SimProcess sim({"--trace", "--image", (dir / "radio.bin").string()});
    ASSERT_TRUE(sim.Started()) << sim.Error();

    CtlResult r = RunCtl({"--port", sim.Path(), "read", (dir / "backup.bin").string()});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_TRUE(Slurp(dir / "backup.bin") == a) << "the backup differs from the radio's image";
    EXPECT_EQ(r.out, "20 records (2640 bytes) were received into: " + (dir / "backup.bin").string() + "\n");

    // No terminal to ask on and no --yes: nothing goes to the radio.
    Put(dir / "new.bin", b);
    r = RunCtl({"--port", sim.Path(), "write", (dir / "new.bin").string()});
    EXPECT_EQ(r.code, 2);
    EXPECT_NE(r.err.find("--yes"), std::string::npos) << r.err;
    // Nor for a file that holds no whole records.
    Put(dir / "odd.bin", std::string(133, 'x'));
    r = RunCtl({"--port", sim.Path(), "write", "--yes", (dir / "odd.bin").string()});
    EXPECT_EQ(r.code, 2);
    EXPECT_NE(r.err.find("Invalid input file size: 133"), std::string::npos) << r.err;
    // Nor an empty file, bytes a receive kept, or '-', which names no file.
    Put(dir / "empty.bin", "");
    Put(dir / "backup.bin.partial", b);
    for (const auto& [file, says] : {std::pair<std::string, std::string>{"empty.bin", "holds no records"},
                                     {"backup.bin.partial", "receive that did not end whole"}}) {
        r = RunCtl({"--port", sim.Path(), "write", "--yes", (dir / file).string()});
        EXPECT_EQ(r.code, 2) << file;
        EXPECT_NE(r.err.find(says), std::string::npos) << r.err;
    }
    for (const char* command : {"read", "write"}) {
        r = RunCtl({"--port", sim.Path(), command, "--yes", "-"});
        EXPECT_EQ(r.code, 2) << command;
        EXPECT_NE(r.err.find("not '-'"), std::string::npos) << r.err;
        EXPECT_FALSE(fs::exists("-"));
    }
    EXPECT_EQ(UploadsSeen(sim), 0u);

    r = RunCtl({"--port", sim.Path(), "write", "--yes", (dir / "new.bin").string()});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(r.out, "20 records went to the radio from: " + (dir / "new.bin").string() + "\n");
    // radiosim stores what it took once the upload is whole.
    for (int i = 0; i < 100 && Slurp(dir / "radio.bin") != b; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    EXPECT_TRUE(Slurp(dir / "radio.bin") == b) << "the radio did not store the file sent";

    r = RunCtl({"--port", sim.Path(), "read", (dir / "backup.bin").string()});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_TRUE(Slurp(dir / "backup.bin") == b) << "the second backup differs";
}

// A radio that pauses inside a record has sent no whole image.
TEST_F(CliTransfer, AReadThatEndsInsideARecordFails)
{
    SimProcess sim({"--records", "20", "--pause-at", "1000", "--pause-ms", "800"});
    ASSERT_TRUE(sim.Started()) << sim.Error();
    const CtlResult r = RunCtl({"--port", sim.Path(), "read", (dir / "cut.bin").string()});
    EXPECT_EQ(r.code, 4) << r.err;
    EXPECT_EQ(r.out, "");
}

// Progress into a log (standard error no terminal): a line a second, and
// the last one says how many went in the end. 60 records take 1.2 s.
TEST_F(CliTransfer, ProgressInALogEndsWithTheLastCount)
{
    SimProcess sim({"--records", "60"});
    ASSERT_TRUE(sim.Started()) << sim.Error();
    Put(dir / "sixty.bin", Image(60, 5));
    const CtlResult r = RunCtl({"--port", sim.Path(), "write", "--yes", (dir / "sixty.bin").string()});
    ASSERT_EQ(r.code, 0) << r.err;
    const std::vector<std::string> lines = Lines(r.err);
    ASSERT_FALSE(lines.empty());
    EXPECT_LE(static_cast<long long>(lines.size()), r.ms / 1000 + 1) << r.err;
    EXPECT_EQ(lines.back().rfind("60/60 records", 0), 0u) << r.err;
}

TEST_F(CliTransfer, InterruptedReadAndWriteLeaveTheOldFilesAndThePort)
{
    const std::string image = Image(200, 3);
    Put(dir / "radio.bin", image);
    SimProcess sim({"--trace", "--image", (dir / "radio.bin").string()});
    ASSERT_TRUE(sim.Started()) << sim.Error();
    const std::string old = "the backup of last week";
    Put(dir / "backup.bin", old);

    CtlProcess reading({"--port", sim.Path(), "read", (dir / "backup.bin").string()});
    ASSERT_TRUE(sim.WaitForTrace([](const std::string& l) { return l.find("02 50 01 03 54") != l.npos; }, 5000));
    std::this_thread::sleep_for(std::chrono::milliseconds(800));
    reading.Signal(SIGINT);
    auto signalled = std::chrono::steady_clock::now();
    CtlResult r = reading.Finish(3000);
    EXPECT_EQ(r.code, 130) << r.err;
    EXPECT_LE(reading.MsFrom(signalled), 300);
    EXPECT_TRUE(Slurp(dir / "backup.bin") == old) << "the old backup was not kept";
    // What came is kept beside it, under the name the message gives.
    std::vector<fs::path> beside;
    for (const auto& entry : fs::directory_iterator(dir)) {
        if (entry.path().filename() != "backup.bin" && entry.path().filename() != "radio.bin") {
            beside.push_back(entry.path());
        }
    }
    ASSERT_EQ(beside.size(), 1u) << r.err;
    EXPECT_EQ(beside[0].filename(), "backup.bin.partial") << "a name no *.bin filter offers";
    EXPECT_NE(r.err.find(beside[0].string()), std::string::npos) << r.err;
    EXPECT_GT(fs::file_size(beside[0]), 0u);
    EXPECT_EQ(image.compare(0, fs::file_size(beside[0]), Slurp(beside[0])), 0) << "the kept bytes are not the image's";
    fs::remove(beside[0]);

    // The radio goes on sending the rest of its image; once it has, it
    // answers again on the port the interrupted read closed.
    for (int i = 0; i < 100 && RunCtl({"--port", sim.Path(), "status"}).code != 0; ++i) {
    }
    ASSERT_EQ(RunCtl({"--port", sim.Path(), "status"}).code, 0);

    Put(dir / "new.bin", Image(200, 4));
    CtlProcess writing({"--port", sim.Path(), "write", "--yes", (dir / "new.bin").string()});
    ASSERT_TRUE(sim.WaitForTrace([](const std::string& l) { return l.find("02 50 03 03 56") != l.npos; }, 5000));
    std::this_thread::sleep_for(std::chrono::milliseconds(800));
    writing.Signal(SIGINT);
    signalled = std::chrono::steady_clock::now();
    r = writing.Finish(3000);
    EXPECT_EQ(r.code, 130) << r.err;
    EXPECT_LE(writing.MsFrom(signalled), 300);
    EXPECT_NE(r.err.find("records went to the radio"), std::string::npos) << r.err;

    // The port was closed on the way out: the next command opens it.
    const CtlResult next = RunCtl({"--port", sim.Path(), "status"});
    EXPECT_NE(next.code, 3) << next.err;
}

// A read of fewer whole records than the backup holds takes its place only
// with --yes.
// The count of what did is what a later write on a terminal is measured by,
// and a write declined there is no success.
TEST_F(CliTransfer, AReadOfFewerRecordsWantsYesAndAWriteIsMeasuredByIt)
{
    // Its own copy of the program keeps its remembered count beside it, not
    // in the build folder.
    fs::copy_file(OSTRELLECTL_PATH, dir / "ostrellectl");
    const std::string ctl = (dir / "ostrellectl").string();
    const std::string backup = (dir / "backup.bin").string();
    const std::string old = Image(30, 5);
    Put(backup, old);
    Put(dir / "radio.bin", Image(20, 6));

    SimProcess sim({"--trace", "--image", (dir / "radio.bin").string()});
    ASSERT_TRUE(sim.Started()) << sim.Error();
    CtlResult r = CtlProcess({"--port", sim.Path(), "read", backup}, {}, ctl).Finish(10000);
    EXPECT_EQ(r.code, 4) << r.err;
    EXPECT_NE(r.err.find("The radio sent 20 records, fewer than the 30 that " + backup), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("Give --yes to replace it all the same."), std::string::npos) << r.err;
    EXPECT_TRUE(Slurp(backup) == old);
    EXPECT_FALSE(fs::exists(dir / "Ostrelle.ini"));
    r = CtlProcess({"--port", sim.Path(), "read", "--yes", backup}, {}, ctl).Finish(10000);
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_TRUE(Slurp(backup) == Image(20, 6));

    // On a terminal (script(1) gives it one) the question names both counts,
    // and a name that begins as a Windows path does ends no sentence.
    const std::string command =
        "cd '" + dir.string() + "' && " + ctl + " --port " + sim.Path() + " write D:radio.bin";
    Put(dir / "D:radio.bin", old);
    r = CtlProcess({"-qec", command, "/dev/null"}, "n\n", "/usr/bin/script").Finish(10000);
    EXPECT_NE(r.out.find("Send the 30 records of D:radio.bin to the radio?"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("The radio's image had only 20 records when it was last received."), std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("Nothing was sent."), std::string::npos) << r.out;
    EXPECT_EQ(r.code, 2) << "a declined write is no success";
    EXPECT_EQ(UploadsSeen(sim), 0u);
}

} // namespace
