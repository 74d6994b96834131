// What the station hears, end to end: radiosim plays a tone of its own for
// each call into a private PulseAudio's null sink while its status says the
// squelch is open; the core captures the sink's monitor, finds the hits on a
// running link and writes one file per hit, named in the hit's row. Then
// the faults: the sink and the daemon gone in the middle of a hit.

#include "audiotestsupport.h"

#include "activity/activitylog.h"
#include "audio/player.h"
#include "scriptedcalls.h"
#include "simprocess.h"
#include "soundserver.h"
#include "waituntil.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstring>
#include <ctime>
#include <fstream>
#include <mutex>
#include <thread>

#include <fcntl.h>
#include <sched.h>
#include <sys/stat.h>
#include <sys/mount.h>

namespace {

namespace fs = std::filesystem;

std::string Script(const fs::path& folder, const std::string& lines)
{
    const fs::path path = folder / "calls.txt";
    std::ofstream(path) << lines;
    return path.string();
}

class Audio : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!SoundServer::Installed()) {
            GTEST_SKIP() << "pulseaudio and pactl are not installed; run tools/setup.sh test";
        }
        ASSERT_TRUE(sound.Started()) << sound.Error();
    }
    RecorderSettings Settings(RecordingFormat format = RecordingFormat::Opus) const
    {
        RecorderSettings s;
        s.folder = (folder.path / "recordings").string();
        s.format = format;
        return s;
    }
    SoundServer sound;
    TempFolder folder;
};

// The recorder alone, fed as the capture feeds it: every sample says the
// tick it came at, so that a lossless file shows exactly which stretch of
// the input it holds.
class Recorder : public ::testing::Test {
protected:
    // The input from `from` to `to` (ticks), in pieces of 50 ms, faster
    // than real time but no faster than the writer keeps up with.
    void Feed(uint32_t from, uint32_t to, bool tone = false)
    {
        std::vector<int16_t> piece(50 * SAMPLES_PER_MS);
        for (uint32_t tick = from; tick < to; tick += 50) {
            for (size_t i = 0; i < piece.size(); ++i) {
                const uint32_t ms = tick + static_cast<uint32_t>(i / SAMPLES_PER_MS);
                piece[i] = tone ? static_cast<int16_t>(8000 * std::sin(2 * std::numbers::pi * 1000 * (tick * 16.0 + i) / 16000))
                                : static_cast<int16_t>(ms);
            }
            recorder->Consume(tick, piece.data(), piece.size());
            std::this_thread::sleep_for(std::chrono::milliseconds(4));
        }
    }
    Hit Edge(HitEdge edge, uint32_t tick, int64_t startMs = 0)
    {
        Hit hit;
        hit.startMs = 1796770798000 + startMs;
        hit.frequencyHz = 155000000;
        hit.modulation = "NFM";
        recorder->Follow(edge, tick, hit);
        return hit;
    }
    RecorderSettings Settings(RecordingFormat format = RecordingFormat::Wav) const
    {
        RecorderSettings s;
        s.folder = folder.path.string();
        s.format = format;
        s.longestMs = 3000;
        return s;
    }
    // The first and last tick a file holds, and whether every tick between
    // is there.
    struct Held {
        int first = -1;
        int last = -1;
        bool whole = false;
    };
    Held HeldIn(const std::string& name) const
    {
        const Decoded d = Decode(folder.path / name);
        Held h;
        if (d.samples.empty()) {
            return h;
        }
        h.first = d.samples.front();
        h.last = d.samples.back();
        h.whole = d.samples.size() == static_cast<size_t>(h.last - h.first + 1) * SAMPLES_PER_MS;
        return h;
    }
    TempFolder folder;
    std::unique_ptr<HitRecorder> recorder;
};

TEST_F(Recorder, KeepsThePreRollAndTheGapAndSplitsAStuckSquelch)
{
    // A link left where the first recording's name leads: written through,
    // it would change another file.
    const fs::path victim = folder.path / "victim";
    std::ofstream(victim) << "keep";
    Hit named;
    named.startMs = 1796770798000;
    named.frequencyHz = 155000000;
    fs::create_symlink(victim, folder.path / (RecordingStem(named) + ".wav"));

    recorder = std::make_unique<HitRecorder>(SystemClock(), Settings(), nullptr);
    Feed(0, 2000);
    Edge(HitEdge::Began, 2000);
    Feed(2000, 3000);
    Edge(HitEdge::Closed, 3000);
    Feed(3000, 3400);
    Edge(HitEdge::Reopened, 3400);
    Feed(3400, 4000);
    Edge(HitEdge::Closed, 4000);
    Feed(4000, 5000);
    const Hit first = Edge(HitEdge::Ended, 4000);
    // A stuck squelch, ended by a STOP eleven seconds in.
    Feed(5000, 6000);
    Edge(HitEdge::Began, 6000, 10000);
    Feed(6000, 11000);
    const Hit stuck = Edge(HitEdge::Ended, 11000, 10000);
    Feed(11000, 12000);
    // The input lost for three seconds: a hit that begins soon after it is
    // back has a pre-roll of what came since, not of what came before.
    recorder->Interrupted();
    Feed(15000, 15200);
    Edge(HitEdge::Began, 15200, 20000);
    Feed(15200, 15600);
    Edge(HitEdge::Closed, 15600, 20000);
    Feed(15600, 16700);
    const Hit afterLoss = Edge(HitEdge::Ended, 15600, 20000);
    Feed(16700, 17000);
    recorder.reset();

    EXPECT_EQ(std::ifstream(victim).rdbuf()->sgetc(), 'k');
    EXPECT_EQ(first.recording, RecordingStem(named) + "_2.wav");
    const std::string stem = stuck.recording.substr(0, stuck.recording.size() - 4);
    const std::vector<std::string> expected{first.recording, stuck.recording, stem + "-part2.wav",
                                            afterLoss.recording};
    std::vector<std::string> files = Recordings(folder.path);
    files.erase(std::remove(files.begin(), files.end(), "victim"), files.end());
    files.erase(std::remove(files.begin(), files.end(), RecordingStem(named) + ".wav"), files.end());
    std::vector<std::string> sorted = expected;
    std::sort(sorted.begin(), sorted.end());
    ASSERT_EQ(files, sorted);
    // The first hit from its pre-roll to its end, its gap within; the stuck
    // one in parts of the longest length; nothing between them, nor from
    // before the input was lost.
    const std::pair<int, int> spans[] = {{1500, 3999}, {5500, 8499}, {8500, 10999}, {15000, 15599}};
    for (size_t i = 0; i < expected.size(); ++i) {
        SCOPED_TRACE(expected[i]);
        const Held h = HeldIn(expected[i]);
        EXPECT_EQ(h.first, spans[i].first);
        EXPECT_EQ(h.last, spans[i].second);
        EXPECT_TRUE(h.whole);
    }
}

// Limits so tight that no recording fits: each new one stays, and takes the
// place of the one before.
TEST_F(Recorder, TheNewestRecordingStaysWhateverTheLimits)
{
    RecorderSettings settings = Settings();
    settings.keepBytes = 1;
    recorder = std::make_unique<HitRecorder>(SystemClock(), settings, nullptr);
    std::vector<std::string> names;
    for (uint32_t start : {1000u, 3000u}) {
        Feed(start - 1000, start);
        Edge(HitEdge::Began, start, start);
        Feed(start, start + 500);
        Edge(HitEdge::Closed, start + 500, start);
        Feed(start + 500, start + 1000);
        names.push_back(Edge(HitEdge::Ended, start + 500, start).recording);
    }
    recorder.reset();
    EXPECT_NE(names[0], names[1]);
    EXPECT_EQ(Recordings(folder.path), std::vector<std::string>{names[1]});
}

// A file system of its own at `path`, in a mount namespace of this process's
// own (root, as CI runs), so that nothing outside sees it; false without.
bool PrivateMount(const fs::path& path, const char* options, unsigned long flags = 0)
{
    static const bool unshared =
        ::unshare(CLONE_NEWNS) == 0 && ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0;
    fs::create_directories(path);
    return unshared && ::mount("tmpfs", path.c_str(), "tmpfs", flags, options) == 0;
}

// The disk fills in the middle of a hit: recording stops with one message,
// and the file is ended whole, however little room is left. A folder of
// its own size on a private mount (root, as CI runs) stands for the disk.
TEST_F(Recorder, AFullDiskStopsRecordingOnceAndTheFileStaysWhole)
{
    const fs::path small = folder.path / "small";
    if (!PrivateMount(small, "size=96k")) {
        GTEST_SKIP() << "no private mount to fill: " << std::strerror(errno);
    }
    RecorderSettings settings = Settings(RecordingFormat::Opus);
    settings.folder = small.string();
    settings.longestMs = 60000;
    recorder = std::make_unique<HitRecorder>(SystemClock(), settings, nullptr);
    Feed(0, 1000, true);
    Edge(HitEdge::Began, 1000);
    Feed(1000, 20000, true);
    const Hit full = Edge(HitEdge::Ended, 20000);
    Edge(HitEdge::Began, 20500, 20000);
    Feed(20000, 22000, true);
    const Hit after = Edge(HitEdge::Ended, 22000, 20000);
    const bool recording = recorder->Recording();
    const std::vector<std::string> said = recorder->TakeNotices();
    recorder.reset();
    const std::string kept = (small / full.recording).string();
    const RecordingInfo info = InspectRecording(kept);
    ::umount2(small.c_str(), MNT_DETACH);

    EXPECT_FALSE(recording);
    ASSERT_EQ(said.size(), 1u);
    EXPECT_NE(said[0].find("No space left on device"), std::string::npos) << said[0];
    EXPECT_NE(said[0].find("is in " + full.recording), std::string::npos) << said[0];
    EXPECT_TRUE(info.playable && info.problem.empty()) << info.problem;
    EXPECT_GT(info.lengthMs, 3000u);
    EXPECT_EQ(after.recording, "");
}

// A folder that cannot be made, or written in, is said at once, once.
TEST_F(Recorder, AFolderThatCannotBeWrittenStopsRecordingWithOneMessage)
{
    std::ofstream(folder.path / "file") << "not a folder";
    struct Case {
        fs::path folder;
        const char* says;
    };
    std::vector<Case> cases{{folder.path / "file" / "recordings", "Not a directory"}};
    if (PrivateMount(folder.path / "readonly", "size=64k", MS_RDONLY)) {
        cases.push_back({folder.path / "readonly", "Read-only file system"});
    }
    for (const Case& c : cases) {
        SCOPED_TRACE(c.folder);
        RecorderSettings settings = Settings();
        settings.folder = c.folder.string();
        recorder = std::make_unique<HitRecorder>(SystemClock(), settings, nullptr);
        ASSERT_TRUE(WaitUntil([&] { return !recorder->Recording(); }, 2000));
        Edge(HitEdge::Began, 100);
        Feed(0, 500);
        EXPECT_EQ(Edge(HitEdge::Ended, 500).recording, "");
        const std::vector<std::string> said = recorder->TakeNotices();
        ASSERT_EQ(said.size(), 1u);
        EXPECT_NE(said[0].find(settings.folder), std::string::npos) << said[0];
        EXPECT_NE(said[0].find(c.says), std::string::npos) << said[0];
    }
    ::umount2((folder.path / "readonly").c_str(), MNT_DETACH);
}

// Old recordings go, oldest first, by age and then by the size of the rest;
// nothing that is not one of ours, and no link, however it is named.
TEST(Recordings, PruningRemovesOnlyOurOldestRecordings)
{
    TempFolder folder;
    const int64_t now = int64_t{::time(nullptr)} * 1000;
    const auto make = [&](const std::string& name, int64_t ageMs, size_t bytes) {
        std::ofstream(folder.path / name) << std::string(bytes, 'x');
        const timespec when[2] = {{static_cast<time_t>((now - ageMs) / 1000), 0},
                                  {static_cast<time_t>((now - ageMs) / 1000), 0}};
        ASSERT_EQ(::utimensat(AT_FDCWD, (folder.path / name).c_str(), when, 0), 0);
    };
    const int64_t day = 86400000;
    make("2026-11-01_10-00-00_155.000000MHz.opus", 40 * day, 100);   // too old
    make("2026-12-01_10-00-00_155.000000MHz.flac", 8 * day, 400);    // oldest of the rest
    make("2026-12-05_10-00-00_155.000000MHz.wav", 4 * day, 400);
    make("2026-12-08_10-00-00_155.000000MHz-part2.opus", 1 * day, 400); // the one just written
    make("2026-10-01_10-00-00_155.000000MHz.txt", 90 * day, 100);    // not a recording
    make("notes.opus", 90 * day, 100);
    fs::create_symlink(folder.path / "notes.opus", folder.path / "2026-09-01_10-00-00_155.000000MHz.opus");

    const PruneResult pruned =
        PruneRecordings(folder.path.string(), 30, 900, now, "2026-12-08_10-00-00_155.000000MHz-part2.opus");
    EXPECT_EQ(pruned.removed, 2u);
    EXPECT_EQ(pruned.bytesKept, 800u);
    const std::vector<std::string> left = Recordings(folder.path);
    const std::vector<std::string> expected{"2026-09-01_10-00-00_155.000000MHz.opus",
                                            "2026-10-01_10-00-00_155.000000MHz.txt",
                                            "2026-12-05_10-00-00_155.000000MHz.wav",
                                            "2026-12-08_10-00-00_155.000000MHz-part2.opus", "notes.opus"};
    // The newest alone over the limit stays.
    EXPECT_EQ(PruneRecordings(folder.path.string(), 30, 100, now, "2026-12-08_10-00-00_155.000000MHz-part2.opus")
                  .removed,
              1u);
    EXPECT_TRUE(fs::exists(folder.path / "2026-12-08_10-00-00_155.000000MHz-part2.opus"));
    EXPECT_EQ(left, expected);
    EXPECT_EQ(RecordingPath("/music", "../2026-12-05_10-00-00_155.000000MHz.wav"), "");
}

// The music folder as xdg-user-dirs names it, relative to the home or not;
// "$HOME/" alone says there is none, and ~/Music stands in.
TEST(Recordings, TheDefaultFolderIsTheUsersMusicFolder)
{
    TempFolder config;
    const std::string home = "/home/someone";
    EXPECT_EQ(UserMusicDirectory(config.path.c_str(), home.c_str()), home + "/Music");
    for (const auto& [line, folder] : {std::pair<std::string, std::string>{"XDG_MUSIC_DIR=\"$HOME/Musik\"", home + "/Musik"},
                                       {"XDG_MUSIC_DIR=\"/srv/audio/\"", "/srv/audio"},
                                       {"XDG_MUSIC_DIR=\"$HOME/\"", home + "/Music"}}) {
        std::ofstream(config.path / "user-dirs.dirs") << "# written by xdg-user-dirs-update\nXDG_DESKTOP_DIR=\"$HOME/Desktop\"\n"
                                                      << line << "\n";
        EXPECT_EQ(UserMusicDirectory(config.path.c_str(), home.c_str()), folder) << line;
    }
}

TEST_F(Audio, EachHitIsOneFileOfWhatItsCallSaidNamedInItsRow)
{
    // Three hits: the second is two calls on one frequency 0.3 s apart,
    // which the merge gap makes one; between the hits more than the
    // pre-roll and the gap is silent.
    Listening station;
    ASSERT_TRUE(station.Hear(sound.Monitor(), Settings())) << station.capture->StateText();
    SimProcess sim({"--voice", "tones", "--voice-sink", sound.Sink(), "--activity",
                    Script(folder.path, "0.8 144.012500 FM 0.8 620\n"
                                        "2.6 433.025000 NFM 0.6 480\n"
                                        "3.5 433.025000 NFM 0.6 480\n"
                                        "5.2 118.012500 AM 0.8 700\n")});
    ASSERT_TRUE(sim.Started()) << sim.Error();
    ASSERT_TRUE(station.Listen(sim.Path())) << station.link.OpenError();
    WaitForSimTime(sim, 7300);
    station.Stop();

    ASSERT_EQ(station.hits.size(), 3u);
    ActivityLog log(folder.path.string());
    for (const Hit& hit : station.hits) {
        ASSERT_EQ(log.Append(hit), "");
    }
    const Day day = LocalDay(station.hits[0].startMs, station.hits[0].utcOffsetMinutes);
    const ActivityFileContents rows = ReadActivityFile(log.PathOf(day));
    ASSERT_EQ(rows.hits.size(), 3u) << rows.error;

    const std::vector<std::string> files = Recordings(folder.path / "recordings");
    ASSERT_EQ(files.size(), 3u) << "one file per hit, nothing between them";
    struct Expected {
        double callS;       // from the first call's start to the last one's end
        uint32_t firstTone;
        uint32_t lastTone;
    };
    // The tones radiosim says it gives the calls heard, in order.
    const Expected expected[] = {{0.8, 400, 400}, {1.5, 600, 800}, {0.8, 1000, 1000}};
    const double preRoll = Settings().preRollMs / 1000.0;
    for (size_t i = 0; i < 3; ++i) {
        SCOPED_TRACE("hit " + std::to_string(i + 1));
        const Hit& row = rows.hits[i];
        EXPECT_EQ(row.recording, files[i]);
        EXPECT_EQ(row.recording, station.hits[i].recording);
        const Decoded d = Decode(folder.path / "recordings" / files[i]);
        ASSERT_TRUE(d.opened);
        EXPECT_EQ(d.rate, 16000);
        EXPECT_NEAR(Seconds(d), preRoll + expected[i].callS, LENGTH_TOLERANCE_S);
        EXPECT_NEAR(Seconds(d), preRoll + row.durationMs / 1000.0, LENGTH_TOLERANCE_S);
        // The pre-roll is quiet and covers the poll's delay and the
        // capture's: the call begins inside it, and the file ends soon
        // after the call.
        const Loud loud = LoudPart(d);
        EXPECT_GT(loud.from, preRoll - 0.25);
        EXPECT_LT(loud.from, preRoll + 0.05);
        EXPECT_GT(loud.to, Seconds(d) - LENGTH_TOLERANCE_S);
        EXPECT_EQ(LoudestTone(d, loud.from, loud.from + 0.5), expected[i].firstTone);
        EXPECT_EQ(LoudestTone(d, loud.to - 0.4, loud.to), expected[i].lastTone);
    }
    // The gap within the merged hit is in its file, silent.
    const Decoded merged = Decode(folder.path / "recordings" / files[1]);
    const Loud loud = LoudPart(merged);
    EXPECT_LT(Strength(merged, loud.from + 0.65, loud.from + 0.85, 600),
              Strength(merged, loud.from + 0.2, loud.from + 0.4, 600) / 20);
    EXPECT_TRUE(station.captureSaid.empty()) << station.captureSaid.front();
}

// The input's faults, each in the middle of a hit: no server at first; the
// sink unloaded and loaded again; the daemon killed and a new one started.
// Each is said once, and said again when it is over; the file so far is
// ended whole, what the hit says after the input is back goes on in a next
// part, and the link, the hits and recording carry on.
TEST_F(Audio, AnInputLostMidHitEndsItsFileWholeAndRecordingGoesOnWhenItIsBack)
{
    sound.Kill();
    EXPECT_NE(ListSoundServerInputs(SystemClock(), 1000).error.find("No sound server"), std::string::npos);
    Listening station;
    EXPECT_FALSE(station.Hear(sound.Monitor(), Settings(RecordingFormat::Flac), 0));
    ASSERT_TRUE(WaitUntil([&] { return station.capture->State() == CaptureState::Waiting; }, 5000));
    ASSERT_TRUE(sound.Start()) << sound.Error();
    ASSERT_TRUE(WaitUntil([&] { return station.capture->SamplesCaptured() > CAPTURE_RATE / 4; }, 8000));

    // A null sink's monitor may take two seconds to give sound again after
    // a fault, on top of the capture's second between tries: the first call
    // lasts long enough to be heard again.
    SimProcess sim({"--voice", "tones", "--voice-sink", sound.Sink(), "--activity",
                    Script(folder.path, "0.8 144.012500 FM 5.0 620\n"
                                        "6.6 433.025000 NFM 1.2 480\n"
                                        "11.0 118.012500 AM 0.8 700\n")});
    ASSERT_TRUE(sim.Started()) << sim.Error();
    ASSERT_TRUE(station.Listen(sim.Path())) << station.link.OpenError();
    WaitForSimTime(sim, 1600);
    ASSERT_TRUE(sound.RemoveSink());
    WaitForSimTime(sim, 2000);
    ASSERT_TRUE(sound.AddSink()) << sound.Error();
    WaitForSimTime(sim, 7200);
    sound.Kill();
    WaitForSimTime(sim, 8000);
    ASSERT_TRUE(sound.Start()) << sound.Error();
    WaitForSimTime(sim, 13000);
    const bool stillRecording = station.recorder->Recording();
    const std::vector<std::string> recorderSaid = station.recorder->TakeNotices();
    station.Stop();

    EXPECT_TRUE(stillRecording);
    EXPECT_TRUE(recorderSaid.empty()) << recorderSaid.front();
    ASSERT_EQ(station.captureSaid.size(), 6u);
    EXPECT_NE(station.captureSaid[0].find("No sound server"), std::string::npos) << station.captureSaid[0];
    for (const size_t gone : {2, 4}) {
        EXPECT_NE(station.captureSaid[gone].find("\"radio.monitor\" has gone"), std::string::npos)
            << station.captureSaid[gone];
    }
    for (const size_t back : {1, 3, 5}) {
        EXPECT_NE(station.captureSaid[back].find("again"), std::string::npos) << station.captureSaid[back];
    }

    ASSERT_EQ(station.hits.size(), 3u);
    const fs::path recordings = folder.path / "recordings";
    const std::vector<std::string> files = Recordings(recordings);
    ASSERT_EQ(files.size(), 4u);
    const std::string& first = station.hits[0].recording;
    const std::string second = first.substr(0, first.size() - 5) + "-part2.flac";
    const std::pair<std::string, uint32_t> tones[] = {
        {first, 0}, {second, 0}, {station.hits[1].recording, 1}, {station.hits[2].recording, 2}};
    for (const auto& [name, call] : tones) {
        ASSERT_NE(std::find(files.begin(), files.end(), name), files.end()) << name;
        const RecordingInfo info = InspectRecording((recordings / name).string());
        EXPECT_TRUE(info.playable && info.problem.empty()) << name << ": " << info.problem;
        const Decoded d = Decode(recordings / name);
        const Loud loud = LoudPart(d);
        EXPECT_EQ(LoudestTone(d, loud.from, loud.to), 400 + 200 * call) << name;
    }
    // The files the faults ended hold their calls up to them, after the
    // pre-roll: 0.8 s of the first, 0.6 s of the second.
    EXPECT_NEAR(Seconds(Decode(recordings / first)), 0.5 + 0.8, 0.3);
    EXPECT_NEAR(Seconds(Decode(recordings / station.hits[1].recording)), 0.5 + 0.6, 0.3);
}

// Collects what the capture hears, for a test to read once it has stopped.
struct Heard final : AudioConsumer {
    void Consume(uint32_t, const int16_t* samples, size_t count) override
    {
        const std::lock_guard<std::mutex> guard(lock);
        decoded.samples.insert(decoded.samples.end(), samples, samples + count);
    }
    std::mutex lock;
    Decoded decoded{{}, static_cast<int>(CAPTURE_RATE), true};
};

void WriteTone(const fs::path& path, int format, double seconds, double hz)
{
    SF_INFO info{};
    info.samplerate = 16000;
    info.channels = 1;
    info.format = format;
    SNDFILE* file = sf_open(path.c_str(), SFM_WRITE, &info);
    ASSERT_NE(file, nullptr) << sf_strerror(nullptr);
    std::vector<int16_t> samples(static_cast<size_t>(seconds * 16000));
    for (size_t i = 0; i < samples.size(); ++i) {
        samples[i] = static_cast<int16_t>(12000 * std::sin(2 * std::numbers::pi * hz * static_cast<double>(i) / 16000));
    }
    sf_write_short(file, samples.data(), static_cast<sf_count_t>(samples.size()));
    sf_close(file);
}

// A recording plays through the sound server, its length known first; one
// cut short plays what there is and says so; a file that is no recording
// says so and plays nothing.
TEST_F(Audio, ARecordingPlaysBackAndADamagedOneSaysWhatIsWrong)
{
    const AudioInputs inputs = ListSoundServerInputs(SystemClock());
    EXPECT_EQ(inputs.error, "");
    EXPECT_TRUE(std::any_of(inputs.inputs.begin(), inputs.inputs.end(),
                            [&](const AudioInput& i) { return i.name == sound.Monitor() && i.monitor; }));

    const fs::path whole = folder.path / "whole.wav";
    WriteTone(whole, SF_FORMAT_WAV | SF_FORMAT_PCM_16, 1.2, 1400);
    for (const auto& [name, format] : {std::pair<std::string, int>{"cut.flac", SF_FORMAT_FLAC | SF_FORMAT_PCM_16},
                                       {"cut.opus", SF_FORMAT_OGG | SF_FORMAT_OPUS},
                                       {"cut.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_16}}) {
        WriteTone(folder.path / name, format, 3.0, 1400);
        fs::resize_file(folder.path / name, fs::file_size(folder.path / name) / 2);
        const RecordingInfo info = InspectRecording((folder.path / name).string());
        EXPECT_TRUE(info.playable) << name;
        EXPECT_NE(info.problem.find(name + " is cut short"), std::string::npos) << info.problem;
        EXPECT_GT(info.lengthMs, 500u) << name;
        EXPECT_LT(info.lengthMs, 2000u) << name;
    }
    std::ofstream(folder.path / "noise.opus") << "not a sound file at all";
    // A FIFO in a recording's place is refused at once, not waited on.
    ASSERT_EQ(::mkfifo((folder.path / "fifo.opus").c_str(), 0600), 0);
    EXPECT_EQ(InspectRecording((folder.path / "fifo.opus").string()).problem,
              "fifo.opus cannot be played: it is not a file");

    Heard heard;
    std::unique_ptr<AudioCapture> capture = MakeSoundServerCapture(SystemClock(), nullptr);
    capture->AddConsumer(heard);
    capture->Start(sound.Monitor());
    ASSERT_TRUE(WaitUntil([&] { return capture->SamplesCaptured() > CAPTURE_RATE / 4; }, 5000));
    RecordingPlayer player(SystemClock(), nullptr);
    const auto play = [&](const fs::path& path, PlayerState end) {
        player.Play(path.string(), sound.Sink());
        EXPECT_TRUE(WaitUntil([&] { return player.State() == end; }, 5000)) << path << ": " << player.Message();
    };
    const float quiet = capture->Level();
    player.Play(whole.string(), sound.Sink());
    // The meter follows the input: silence, then a tone at 12000 of 32768.
    EXPECT_TRUE(WaitUntil([&] { return capture->Level() > 0.3f; }, 2000)) << capture->Level();
    EXPECT_LT(quiet, 0.01f);
    EXPECT_LT(capture->Level(), 0.4f);
    play(whole, PlayerState::Finished);
    EXPECT_EQ(player.LengthMs(), 1200u);
    EXPECT_EQ(player.Message(), "");
    play(folder.path / "cut.flac", PlayerState::Finished);
    EXPECT_NE(player.Message().find("cut short"), std::string::npos) << player.Message();
    play(folder.path / "noise.opus", PlayerState::Failed);
    EXPECT_NE(player.Message().find("noise.opus cannot be played"), std::string::npos) << player.Message();
    capture->Stop();

    // The monitor heard the tone for as long as the two files played.
    const Decoded& d = heard.decoded;
    const Loud loud = LoudPart(d);
    EXPECT_GT(Strength(d, loud.from, loud.from + 1.0, 1400), 20 * Strength(d, loud.from, loud.from + 1.0, 1000));
    EXPECT_GT(loud.to - loud.from, 1.2 + 0.5);
}

} // namespace
