// ostrellectl hearing the radio, as a small computer beside it runs it:
// radiosim plays a tone of its own for each call into a private sound
// server's sink while it reports the squelch open, and ostrellectl records
// the sink's monitor.

#include "activity/activitycsv.h"
#include "audio/hitrecorder.h"
#include "audiotestsupport.h"
#include "ctlprocess.h"
#include "scriptedcalls.h"
#include "simprocess.h"
#include "soundserver.h"

#include <gtest/gtest.h>

#include <csignal>
#include <fstream>

namespace {

namespace fs = std::filesystem;

// One file per hit, each holding its own call from the pre-roll on, and
// each CSV row naming its file.
TEST(CliSound, WatchRecordsEachHitIntoTheFileItsRowNames)
{
    if (!SoundServer::Installed()) {
        GTEST_SKIP() << "pulseaudio and pactl are not installed; run tools/setup.sh test";
    }
    SoundServer sound;
    ASSERT_TRUE(sound.Started()) << sound.Error();
    TempFolder folder;
    const fs::path script = folder.path / "calls.txt";
    // The first call comes once a null sink's monitor has had its two
    // seconds to begin giving sound.
    std::ofstream(script) << "4.0 144.012500 FM 0.8 620\n5.8 433.025000 NFM 0.6 480\n7.4 118.012500 AM 0.8 700\n";
    const double callS[] = {0.8, 0.6, 0.8};
    SimProcess sim({"--voice", "tones", "--voice-sink", sound.Sink(), "--activity", script.string()});
    ASSERT_TRUE(sim.Started()) << sim.Error();
    const fs::path recordings = folder.path / "recordings";
    CtlProcess watch({"--port", sim.Path(), "watch", "--hits", "--record", recordings.string(), "--audio-device",
                      sound.Monitor()});
    ASSERT_TRUE(watch.WaitForOutput(
        [](const std::string& err) { return err.find("Capturing from") != std::string::npos; }, 10000, true));
    if (NowMs() - SimZeroMs(sim) > 3400) {
        GTEST_SKIP() << "the sound server gave sound only after the first call's pre-roll had begun";
    }
    WaitForSimTime(sim, 8200);
    EXPECT_TRUE(watch.WaitForOutput(
        [](const std::string& out) { return std::count(out.begin(), out.end(), '\n') >= 4; }, 5000));
    watch.Signal(SIGINT);
    const CtlResult r = watch.Finish(5000);
    EXPECT_EQ(r.code, 130) << r.err;

    const ActivityFileContents rows = ParseActivityCsv(r.out);
    ASSERT_EQ(rows.hits.size(), 3u) << r.out << r.err;
    const std::vector<std::string> files = Recordings(recordings);
    ASSERT_EQ(files.size(), 3u) << "one file per hit, nothing between them";
    const double preRoll = RecorderSettings{}.preRollMs / 1000.0;
    for (uint32_t i = 0; i < 3; ++i) {
        SCOPED_TRACE("hit " + std::to_string(i + 1));
        EXPECT_EQ(rows.hits[i].recording, files[i]);
        const Decoded d = Decode(recordings / files[i]);
        ASSERT_TRUE(d.opened);
        EXPECT_NEAR(Seconds(d), preRoll + callS[i], LENGTH_TOLERANCE_S);
        const Loud loud = LoudPart(d);
        EXPECT_GT(loud.from, 0.1) << "the pre-roll is the quiet before the call";
        EXPECT_EQ(LoudestTone(d, loud.from, loud.to), sim::VoiceToneHz(i));
    }
    EXPECT_EQ(r.err.find("Recording has stopped"), std::string::npos) << r.err;
}

} // namespace
