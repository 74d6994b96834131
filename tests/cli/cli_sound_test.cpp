// ostrellectl hearing the radio, as a small computer beside it runs it:
// radiosim plays a tone of its own for each call into a private sound
// server's sink while it reports the squelch open, and ostrellectl records
// the sink's monitor.

#include "activity/activitycsv.h"
#include "audio/hitrecorder.h"
#include "audiotestsupport.h"
#include "ctlprocess.h"
#include "icecastprocess.h"
#include "scriptedcalls.h"
#include "simprocess.h"
#include "soundserver.h"
#include "waituntil.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <csignal>
#include <cstdlib>
#include <fstream>

#include <unistd.h>

namespace {

namespace fs = std::filesystem;

// radiosim's calls, the first once a null sink's monitor has had its two
// seconds to begin giving sound.
fs::path CallScript(const TempFolder& folder)
{
    fs::path script = folder.path / "calls.txt";
    std::ofstream(script) << "4.0 144.012500 FM 0.8 620\n5.8 433.025000 NFM 0.6 480\n7.4 118.012500 AM 0.8 700\n";
    return script;
}

// Waits for ostrellectl to say that sound comes; false when it came too late
// for the first call's pre-roll, which says nothing about ostrellectl.
bool CapturingInTime(CtlProcess& ctl, const SimProcess& sim)
{
    EXPECT_TRUE(ctl.WaitForOutput(
        [](const std::string& err) { return err.find("Capturing from") != std::string::npos; }, 10000, true));
    return NowMs() - SimZeroMs(sim) < 3400;
}

// One file per hit (FLAC, as asked), each holding its own call from the
// pre-roll on, and each CSV row naming its file.
TEST(CliSound, WatchRecordsEachHitIntoTheFileItsRowNames)
{
    if (!SoundServer::Installed()) {
        GTEST_SKIP() << "pulseaudio and pactl are not installed; run tools/setup.sh test";
    }
    SoundServer sound;
    ASSERT_TRUE(sound.Started()) << sound.Error();
    TempFolder folder;
    const double callS[] = {0.8, 0.6, 0.8};
    SimProcess sim({"--voice", "tones", "--voice-sink", sound.Sink(), "--activity", CallScript(folder).string()});
    ASSERT_TRUE(sim.Started()) << sim.Error();
    const fs::path recordings = folder.path / "recordings";
    CtlProcess watch({"--port", sim.Path(), "watch", "--hits", "--record", recordings.string(), "--record-format",
                      "flac", "--audio-device", sound.Monitor()});
    if (!CapturingInTime(watch, sim)) {
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
        EXPECT_EQ(fs::path(files[i]).extension(), ".flac");
        const Decoded d = Decode(recordings / files[i]);
        ASSERT_TRUE(d.opened);
        EXPECT_NEAR(Seconds(d), preRoll + callS[i], LENGTH_TOLERANCE_S);
        const Loud loud = LoudPart(d);
        EXPECT_GT(loud.from, 0.1) << "the pre-roll is the quiet before the call";
        EXPECT_EQ(LoudestTone(d, loud.from, loud.to), sim::VoiceToneHz(i));
    }
    EXPECT_EQ(r.err.find("Recording has stopped"), std::string::npos) << r.err;
}

// serve --stream-settings: the stream the panel's Stream... dialog kept in
// the store beside the program, its password with it, and never said.
TEST(CliSound, ServeStreamsAsThePanelsStreamSettingsSay)
{
    if (::access("/usr/bin/icecast2", X_OK) != 0) {
        GTEST_SKIP() << "icecast2 is not installed; run tools/setup.sh test";
    }
    IcecastProcess server;
    ASSERT_TRUE(server.Started()) << server.Error();
    TempFolder folder;
    // Its own copy of the program finds its own store beside it.
    fs::copy_file(OSTRELLECTL_PATH, folder.path / "ostrellectl");
    // As Qt writes it: a comma quoted.
    std::ofstream(folder.path / "Ostrelle.ini")
        << "[Audio]\nInput=none\n\n[Stream]\nOn=false\nHost=127.0.0.1\nPort=" << server.Port()
        << "\nMount=/kept.mp3\nUser=source\nPassword=" << server.SourcePassword()
        << "\nFormat=mp3\nName=\"Scanner, local\"\nTitleFormat={frequency} MHz\n";
    SimProcess sim;
    ASSERT_TRUE(sim.Started()) << sim.Error();
    CtlProcess serve({"--port", sim.Path(), "serve", "--rigctl-port", "0", "--stream-settings"}, {},
                     (folder.path / "ostrellectl").string());
    const std::string where = "icecast://source@127.0.0.1:" + std::to_string(server.Port()) + "/kept.mp3";
    EXPECT_TRUE(serve.WaitForOutput(
        [&](const std::string& err) { return err.find("Streaming to " + where) != std::string::npos; }, 10000, true));
    EXPECT_TRUE(WaitUntil(
        [&] { return server.Get("/status-json.xsl").find("\"server_name\":\"Scanner, local\"") != std::string::npos; },
        3000))
        << server.Get("/status-json.xsl");
    serve.Signal(SIGINT);
    const CtlResult r = serve.Finish(5000);
    EXPECT_EQ(r.code, 130) << r.err;
    EXPECT_NE(r.err.find("The panel's stream is switched off; streaming with its settings as asked."),
              std::string::npos) << r.err;
    EXPECT_EQ(r.err.find(server.SourcePassword()), std::string::npos) << "the password is never said";
}

// watch --hits --stream: the state on standard error, and the mount's title
// on the server's status page becomes each call's as it begins, with the
// display the call is shown on.
TEST(CliSound, WatchStreamsTitledWithEachCall)
{
    if (!SoundServer::Installed() || ::access("/usr/bin/icecast2", X_OK) != 0) {
        GTEST_SKIP() << "pulseaudio or icecast2 is not installed; run tools/setup.sh test";
    }
    IcecastProcess server;
    ASSERT_TRUE(server.Started()) << server.Error();
    SoundServer sound;
    ASSERT_TRUE(sound.Started()) << sound.Error();
    TempFolder folder;
    SimProcess sim({"--voice", "tones", "--voice-sink", sound.Sink(), "--activity", CallScript(folder).string()});
    ASSERT_TRUE(sim.Started()) << sim.Error();
    const std::string where = "icecast://source@127.0.0.1:" + std::to_string(server.Port()) + "/feed.mp3";
    ASSERT_EQ(::setenv("OSTRELLE_STREAM_PASSWORD", server.SourcePassword().c_str(), 1), 0);
    CtlProcess watch({"--port", sim.Path(), "watch", "--hits", "--stream", where, "--audio-device", sound.Monitor()});
    ::unsetenv("OSTRELLE_STREAM_PASSWORD");
    EXPECT_TRUE(watch.WaitForOutput(
        [&](const std::string& err) { return err.find("Streaming to " + where) != std::string::npos; }, 10000, true));
    if (!CapturingInTime(watch, sim)) {
        GTEST_SKIP() << "the sound server gave sound only after the first call's pre-roll had begun";
    }
    const auto title = [&] {
        const auto status = nlohmann::json::parse(server.Get("/status-json.xsl"), nullptr, false);
        const auto& source = status.is_object() ? status["icestats"]["source"] : nlohmann::json();
        return source.is_object() && source.contains("title") ? source["title"].get<std::string>() : std::string();
    };
    // The channel's name is the display's, which may be shown a poll after
    // the squelch opened on the channel before.
    const std::pair<const char*, const char*> calls[] = {
        {"144.012500 MHz FM ", "CHANNEL 007"}, {"433.025000 MHz NFM ", "CHANNEL 014"}, {"118.012500 MHz AM ", "CHANNEL 006"}};
    for (const auto& [call, channel] : calls) {
        const std::string frequency = call;
        const std::string name = channel;
        EXPECT_TRUE(WaitUntil(
            [&] {
                const std::string now = title();
                return now.rfind(frequency, 0) == 0 && now.find(name) != std::string::npos;
            },
            5000))
            << frequency << name << " but " << title();
    }
    watch.Signal(SIGINT);
    const CtlResult r = watch.Finish(5000);
    EXPECT_EQ(r.code, 130) << r.err;
    EXPECT_EQ(r.err.find(server.SourcePassword()), std::string::npos) << "the password is never said";
}

} // namespace
