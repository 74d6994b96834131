// ostrellectl as a user and a script meet it: every command against
// radiosim, with what it prints, what it says and how it exits.

#include "ctlprocess.h"
#include "cli/messages.h"
#include "cli/options.h"
#include "cli/report.h"
#include "scriptedcalls.h"
#include "ser2netprocess.h"
#include "simprocess.h"
#include "activity/walltime.h"

#include <nlohmann/json.hpp>

#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include <sys/wait.h>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;
using nlohmann::json;

std::vector<std::string> Args(const SimProcess& sim, std::initializer_list<std::string> rest)
{
    std::vector<std::string> args{"--port", sim.Path()};
    args.insert(args.end(), rest);
    return args;
}

// The radio's last reply to `letter` in the trace, all its bytes.
std::vector<unsigned> LastReply(const SimProcess& sim, unsigned letter)
{
    std::vector<unsigned> found;
    for (const TraceFrame& f : ParseTrace(sim.TraceLines())) {
        if (!f.toRadio && f.bytes.size() > 2 && f.bytes[1] == letter) {
            found = f.bytes;
        }
    }
    return found;
}

// "0241AB" as the trace writes it: "02 41 AB".
std::string Spaced(const std::string& hex)
{
    std::string spaced;
    for (size_t i = 0; i + 1 < hex.size(); i += 2) {
        spaced += (spaced.empty() ? "" : " ") + hex.substr(i, 2);
    }
    return spaced;
}

std::vector<TraceFrame> FramesTo(const SimProcess& sim, unsigned letter)
{
    std::vector<TraceFrame> found;
    for (const TraceFrame& f : ParseTrace(sim.TraceLines())) {
        if (f.toRadio && f.bytes.size() > 1 && f.bytes[1] == letter) {
            found.push_back(f);
        }
    }
    return found;
}

// A tune and a key change what the radio shows; status and lcd, in words and
// in JSON, show exactly the reply the radio sent, in the panel's texts.
TEST(CliPolls, StatusAndDisplayAsTheRadioSentThem)
{
    SimProcess sim({"--trace"});
    ASSERT_TRUE(sim.Started()) << sim.Error();

    CtlResult r = RunCtl(Args(sim, {"tune", "146.52", "FM"}));
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "");

    r = RunCtl(Args(sim, {"status"}));
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(r.err, "");
    ASSERT_EQ(Lines(r.out).size(), 1u) << r.out;
    EXPECT_EQ(r.out.rfind("TUNE  146.520000 FM  RSSI ", 0), 0u) << r.out;
    EXPECT_NE(r.out.find("Battery 7.80 V"), std::string::npos) << r.out;

    r = RunCtl(Args(sim, {"--json", "status"}));
    ASSERT_EQ(r.code, 0) << r.err;
    const json status = json::parse(r.out);
    const std::string block = status["raw"]["block"].get<std::string>();
    ASSERT_TRUE(sim.WaitForTrace([&](const std::string& l) { return l.find(Spaced("0241" + block)) != l.npos; }, 2000))
        << block;
    const std::vector<unsigned> reply = LastReply(sim, 'A');
    ASSERT_EQ(reply.size(), 20u);
    EXPECT_EQ(HexOf(reply, 2, 16), Spaced(block)) << "not the radio's last status reply";
    EXPECT_TRUE(status["statusValid"].get<bool>());
    EXPECT_EQ(status["raw"]["frequencyHz"], 146520000);
    EXPECT_EQ(status["raw"]["modulationIndex"], 1);
    EXPECT_EQ(status["raw"]["modeIndex"], 0);
    EXPECT_EQ(status["raw"]["rssi"], reply[6] | (reply[7] << 8));
    EXPECT_EQ(status["raw"]["battery"], 780);
    EXPECT_EQ(status["shown"]["mode"], "TUNE");
    EXPECT_EQ(status["shown"]["frequency"], "146.520000");
    EXPECT_EQ(status["shown"]["modulation"], "FM");
    EXPECT_EQ(status["shown"]["battery"], "7.80 V");
    EXPECT_EQ(status["shown"]["rssi"], std::to_string(reply[6] | (reply[7] << 8)));
    // MUTE is lit while its bit is clear.
    const bool muteLit = (reply[3] & 0x02) == 0;
    const auto lit = status["shown"]["indicators"].get<std::vector<std::string>>();
    EXPECT_EQ(std::find(lit.begin(), lit.end(), "MUTE") != lit.end(), muteLit) << r.out;

    ASSERT_EQ(RunCtl(Args(sim, {"key", "light"})).code, 0);
    r = RunCtl(Args(sim, {"lcd"}));
    ASSERT_EQ(r.code, 0) << r.err;
    const std::vector<std::string> rows = Lines(r.out);
    ASSERT_EQ(rows.size(), 5u) << r.out;
    EXPECT_EQ(rows[1], " 146.5200 MHz   ");
    EXPECT_NE(rows[4].find("backlight"), std::string::npos) << rows[4];

    r = RunCtl(Args(sim, {"lcd", "--json"}));
    ASSERT_EQ(r.code, 0) << r.err;
    const json lcd = json::parse(r.out);
    std::string rowsHex;
    for (size_t k = 0; k < 4; ++k) {
        rowsHex += lcd["raw"]["rows"][k].get<std::string>();
    }
    ASSERT_TRUE(sim.WaitForTrace([&](const std::string& l) { return l.find(Spaced("024C" + rowsHex)) != l.npos; }, 2000));
    const std::vector<unsigned> lcdReply = LastReply(sim, 'L');
    ASSERT_EQ(lcdReply.size(), 70u);
    EXPECT_EQ(HexOf(lcdReply, 2, 64), Spaced(rowsHex)) << "not the radio's last display reply";
    EXPECT_EQ(lcd["raw"]["iconFlagsA"], lcdReply[66]);
    EXPECT_EQ(lcd["raw"]["iconFlagsB"], lcdReply[67]);
    EXPECT_EQ(lcd["shown"]["rows"][1], " 146.5200 MHz   ");
    EXPECT_TRUE(lcd["shown"]["backlight"].get<bool>());
    EXPECT_EQ(lcd["shown"]["bars"], lcdReply[66] & 0x07);
}

// Keys by caption in any case, at the pace asked for; tune frames with the
// panel's modulation numbering and range; nothing sent for words that are
// wrong.
TEST(CliFrames, KeysAndTuneReachTheRadioAsTheyShould)
{
    SimProcess sim({"--trace"});
    ASSERT_TRUE(sim.Started()) << sim.Error();

    CtlResult r = RunCtl(Args(sim, {"key", "scan", "l/out", ".", "F1", "--delay", "250"}));
    ASSERT_EQ(r.code, 0) << r.err;
    r = RunCtl(Args(sim, {"tune", "25"}));
    ASSERT_EQ(r.code, 0) << r.err;
    r = RunCtl(Args(sim, {"tune", "32.01", "am"}));
    ASSERT_EQ(r.code, 0) << r.err;
    ASSERT_TRUE(sim.WaitForTrace([](const std::string& l) { return l.find("02 54 0F 6F E8 01 00") != l.npos; }, 2000));

    const std::vector<TraceFrame> keys = FramesTo(sim, 'K');
    ASSERT_EQ(keys.size(), 4u);
    // The first key goes as soon as the radio has answered; the delay is
    // only between keys.
    long long answered = 0;
    for (const TraceFrame& poll : FramesTo(sim, 'A')) {
        answered = poll.ms < keys[0].ms ? poll.ms : answered;
    }
    EXPECT_LT(keys[0].ms - answered, 150);
    EXPECT_EQ(HexOf(keys[0].bytes), "02 4B 0F 03 5D");
    EXPECT_EQ(HexOf(keys[1].bytes), "02 4B 05 03 53");
    EXPECT_EQ(HexOf(keys[2].bytes), "02 4B 18 03 66");
    EXPECT_EQ(HexOf(keys[3].bytes), "02 4B 1F 03 6D");
    for (size_t i = 1; i < keys.size(); ++i) {
        EXPECT_GE(keys[i].ms - keys[i - 1].ms, 245) << i;
    }
    const std::vector<TraceFrame> tunes = FramesTo(sim, 'T');
    ASSERT_EQ(tunes.size(), 2u);
    EXPECT_EQ(HexOf(tunes[0].bytes), "02 54 40 78 7D 01 02 03 8F");
    EXPECT_EQ(HexOf(tunes[1].bytes, 0, 7), "02 54 0F 6F E8 01 00");

    // Refused before anything is sent: out of range, not a number, unknown
    // key or modulation, an option of another command.
    const std::vector<std::vector<std::string>> refused{
        Args(sim, {"tune", "9999"}),       Args(sim, {"tune", "--", "-5"}), Args(sim, {"tune", "146,52"}),
        Args(sim, {"tune", "146.52", "usb"}), Args(sim, {"key", "scan", "shift"}), Args(sim, {"key", "1", "--yes"}),
        {"status", "extra"},                {"--delay", "x", "key", "1"},     {"frobnicate"},
        {},
    };
    for (const auto& args : refused) {
        r = RunCtl(args);
        EXPECT_EQ(r.code, 2) << ::testing::PrintToString(args) << r.err;
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(Lines(r.err).size(), 1u) << r.err;
        EXPECT_EQ(r.err.rfind("ostrellectl: ", 0), 0u) << r.err;
    }
    EXPECT_NE(RunCtl(Args(sim, {"tune", "9999"})).err.find("4294.967295"), std::string::npos);
    EXPECT_EQ(FramesTo(sim, 'K').size(), 4u);
    EXPECT_EQ(FramesTo(sim, 'T').size(), 2u);
}

// A radio that does not answer, a port that is not there, and the help.
TEST(CliFailures, ExitCodesAndOneLineReasons)
{
    SimProcess silent({"--no-reply"});
    ASSERT_TRUE(silent.Started()) << silent.Error();
    for (const std::string command : {"status", "lcd", "key"}) {
        std::vector<std::string> args = Args(silent, {command});
        if (command == "key") {
            args.push_back("scan");
        }
        const CtlResult r = RunCtl(args);
        EXPECT_EQ(r.code, 1) << command;
        EXPECT_EQ(r.out, "");
        EXPECT_NE(r.err.find("did not answer"), std::string::npos) << r.err;
        EXPECT_LT(r.ms, 2500) << command;
    }

    // A read that cannot begin leaves the file it would replace, and nothing beside it.
    const fs::path dir = fs::temp_directory_path() / ("ostrellectl-silent-" + std::to_string(::getpid()));
    fs::remove_all(dir);
    fs::create_directories(dir);
    std::ofstream(dir / "backup.bin") << "last week";
    const CtlResult unread = RunCtl(Args(silent, {"read", (dir / "backup.bin").string()}));
    EXPECT_EQ(unread.code, 1) << unread.err;
    EXPECT_EQ(std::distance(fs::directory_iterator(dir), fs::directory_iterator()), 1);
    EXPECT_EQ(fs::file_size(dir / "backup.bin"), 9u);
    fs::remove_all(dir);

    const std::string missing = fs::temp_directory_path() / "ostrelle-no-such-port";
    CtlResult r = RunCtl({"--port", missing, "status"});
    EXPECT_EQ(r.code, 3);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(Lines(r.err).size(), 1u) << r.err;
    EXPECT_NE(r.err.find("Unable to open port " + missing), std::string::npos) << r.err;
    EXPECT_TRUE(r.err.ends_with("plugged in?\n")) << r.err; // one sentence, one end

    // A port another program holds is refused, not shared.
    SimProcess sim;
    ASSERT_TRUE(sim.Started()) << sim.Error();
    CtlProcess watching(Args(sim, {"watch"}));
    ASSERT_TRUE(watching.WaitForOutput([](const std::string& out) { return !out.empty(); }, 3000));
    r = RunCtl(Args(sim, {"status"}));
    EXPECT_EQ(r.code, 3) << r.err;
    // Ended as a service manager ends it: the shell's code for SIGTERM.
    watching.Signal(SIGTERM);
    EXPECT_EQ(watching.Finish(2000).code, 143);
    EXPECT_EQ(RunCtl(Args(sim, {"status"})).code, 0);

    r = RunCtl({"--help"});
    EXPECT_EQ(r.code, 0);
    for (const char* word : {"status", "lcd", "key NAME", "tune MHZ", "read FILE", "write FILE", "watch", "ports",
                             "--json", "--reconnect", "130"}) {
        EXPECT_NE(r.out.find(word), std::string::npos) << word;
    }
    // The About box's words and the title's release.
    r = RunCtl({"--version"});
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(r.out, "ostrellectl (Ostrelle Version 1.0) 1.09\n");
}

// COM numbers resolve beside the program as in the panel: ports/COM<n>, the
// number in Ostrelle.cfg when --port is not given, the map as the Serial
// ports dialog lists it; and a radio behind ser2net by its endpoint.
TEST(CliPorts, ComNumbersSettingsFileAndNetwork)
{
    SimProcess sim;
    ASSERT_TRUE(sim.Started()) << sim.Error();
    const fs::path dir = fs::temp_directory_path() / ("ostrellectl-ports-" + std::to_string(::getpid()));
    fs::remove_all(dir);
    fs::create_directories(dir / "ports");
    const fs::path program = dir / "ostrellectl";
    fs::copy_file(OSTRELLECTL_PATH, program);
    fs::create_symlink(sim.Path(), dir / "ports" / "COM7");
    std::ofstream(dir / "Ostrelle.cfg") << "7\n146.520000\n200,150\n";

    CtlProcess byCfg({"status"}, {}, program);
    CtlResult r = byCfg.Finish(5000);
    EXPECT_EQ(r.code, 0) << r.err;
    CtlProcess byName({"--port", "com7", "status"}, {}, program);
    EXPECT_EQ(byName.Finish(5000).code, 0);
    CtlProcess unmapped({"--port", "COM8", "status"}, {}, program);
    r = unmapped.Finish(5000);
    EXPECT_EQ(r.code, 3);
    EXPECT_NE(r.err.find("Unable to open port COM 8"), std::string::npos) << r.err;
    CtlProcess outOfRange({"--port", "COM257", "status"}, {}, program);
    EXPECT_EQ(outOfRange.Finish(5000).code, 2);
    CtlProcess highest({"--port", "COM256", "status"}, {}, program);
    r = highest.Finish(5000);
    EXPECT_NE(r.code, 2) << r.err;
    EXPECT_NE(r.err.find("COM 256"), std::string::npos) << r.err;

    CtlProcess ports({"ports"}, {}, program);
    r = ports.Finish(5000);
    EXPECT_EQ(r.code, 0);
    const std::vector<std::string> lines = Lines(r.out);
    ASSERT_EQ(lines.size(), 3u) << r.out;
    EXPECT_NE(lines[0].find("The links in " + (dir / "ports").string()), std::string::npos) << lines[0];
    EXPECT_EQ(lines[1].rfind("COM ", 0), 0u) << lines[1];
    EXPECT_EQ(lines[2].rfind("COM7  " + sim.Path(), 0), 0u) << lines[2];
    // radiosim holds the terminal's both ends: it is the radio, not a user.
    EXPECT_EQ(lines[2].substr(lines[2].size() - 4), "free") << lines[2];

    // COM 1 then, which has no link here, without a file as with one that
    // holds no number: this machine's ttyS0 may or may not be there, but no
    // radio answers on it.
    for (const bool binary : {false, true}) {
        fs::remove(dir / "Ostrelle.cfg");
        if (binary) {
            std::ofstream(dir / "Ostrelle.cfg", std::ios::binary) << std::string("\x7f" "ELF\2\1\1\0\0\0", 10);
        }
        CtlProcess noCfg({"status"}, {}, program);
        r = noCfg.Finish(5000);
        EXPECT_TRUE(r.code == 1 || r.code == 3) << r.code << r.err;
        EXPECT_NE(r.err.find("COM 1"), std::string::npos) << r.err;
    }
    fs::remove_all(dir);

    for (const auto mode : {Ser2NetProcess::Mode::Rfc2217, Ser2NetProcess::Mode::RawTcp}) {
        Ser2NetProcess server(sim.SlavePath(), mode);
        ASSERT_TRUE(server.Started()) << server.Error();
        r = RunCtl({"--port", server.EndpointLine(), "--json", "status"});
        EXPECT_EQ(r.code, 0) << server.EndpointLine() << r.err;
        EXPECT_TRUE(json::parse(r.out)["statusValid"].get<bool>());
    }
}

// watch prints a line for each change and nothing in between, as JSON a
// parser takes line by line; Ctrl-C ends it within 300 ms and frees the port.
// After a hang-up it ends, or with --reconnect waits and goes on.
TEST(CliWatch, ChangesOnlyInterruptAndReconnect)
{
    SimProcess sim({"--trace"});
    ASSERT_TRUE(sim.Started()) << sim.Error();
    CtlProcess watch(Args(sim, {"watch", "--json"}));
    ASSERT_TRUE(watch.WaitForOutput([](const std::string& out) { return std::count(out.begin(), out.end(), '\n') >= 3; },
                                    5000));
    ASSERT_EQ(RunCtl(Args(sim, {"status"})).code, 3); // the watch holds the port
    watch.Signal(SIGINT);
    const auto signalled = std::chrono::steady_clock::now();
    const CtlResult r = watch.Finish(3000);
    EXPECT_EQ(r.code, 130);
    EXPECT_LE(watch.MsFrom(signalled), 300);
    const std::vector<std::string> lines = Lines(r.out);
    ASSERT_GE(lines.size(), 3u);
    json previous;
    for (const std::string& line : lines) {
        const json j = json::parse(line);
        ASSERT_TRUE(j.contains("time") && j.contains("link") && j.contains("status") && j.contains("lcd")) << line;
        EXPECT_EQ(j["link"], "answering") << line;
        EXPECT_TRUE(j["status"]["statusValid"].get<bool>()) << line;
        EXPECT_TRUE(j["lcd"]["lcdValid"].get<bool>()) << line;
        if (!previous.is_null()) {
            EXPECT_GT(j["time"].get<std::string>(), previous["time"].get<std::string>());
            EXPECT_TRUE(j["status"] != previous["status"] || j["lcd"] != previous["lcd"]) << line;
        }
        previous = j;
    }
    EXPECT_EQ(RunCtl(Args(sim, {"status"})).code, 0); // the port was closed

    // Without --reconnect a hang-up ends the watch, the loss said as a line.
    {
        SimProcess leaving({"--hangup-after", "700"});
        ASSERT_TRUE(leaving.Started()) << leaving.Error();
        CtlProcess ends(Args(leaving, {"watch"}));
        const CtlResult gone = ends.Finish(5000);
        EXPECT_EQ(gone.code, 1) << gone.err;
        EXPECT_NE(gone.err.find("was lost"), std::string::npos) << gone.err;
        EXPECT_NE(gone.out.find("  Radio disconnected: waiting for " + leaving.Path() + "\n"), std::string::npos)
            << gone.out;
    }
    // With it the watch waits for the radio and goes on where it left off:
    // the loss and the return are lines of the stream, the port is let go
    // while it waits, and the first line after the return has both records.
    const std::string link = fs::temp_directory_path() / ("ostrellectl-reconnect-" + std::to_string(::getpid()));
    auto first = std::make_unique<SimProcess>(std::vector<std::string>{"--hangup-after", "700"}, link);
    ASSERT_TRUE(first->Started()) << first->Error();
    CtlProcess reconnecting({"--port", link, "watch", "--reconnect", "--json"});
    const auto said = [](const char* state) {
        return [state](const std::string& out) { return out.find(std::string("\"link\":\"") + state) != out.npos; };
    };
    ASSERT_TRUE(reconnecting.WaitForOutput(said("portGone"), 5000));
    first->WaitForExit(2000);
    first.reset();
    SimProcess second({"--trace"}, link);
    ASSERT_TRUE(second.Started()) << second.Error();
    EXPECT_TRUE(second.WaitForTrace([](const std::string& l) { return l.find("RADIO->PC") != l.npos; }, 3000));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    reconnecting.Signal(SIGINT);
    const CtlResult back = reconnecting.Finish(3000);
    EXPECT_EQ(back.code, 130) << back.err;
    std::vector<std::string> states;
    for (const std::string& line : Lines(back.out)) {
        const json j = json::parse(line);
        if (states.empty() || states.back() != j["link"]) {
            states.push_back(j["link"]);
            if (states.size() == 3) {
                EXPECT_TRUE(j["status"]["statusValid"].get<bool>() && j["lcd"]["lcdValid"].get<bool>()) << line;
            }
        }
    }
    EXPECT_EQ(states, (std::vector<std::string>{"answering", "portGone", "answering"})) << back.out;
    ::unlink(link.c_str());
}

// watch --hits prints a line for each call radiosim plays as its hit ends,
// and the one still on the air when the watch ends, at Ctrl-C or when the
// port hangs up; JSON a parser takes.
TEST(CliWatch, HitsAreTheScriptedCallsOneLineEachAsTheyEnd)
{
    const fs::path dir = fs::temp_directory_path() / ("ostrellectl-hits-" + std::to_string(::getpid()));
    fs::create_directories(dir);
    constexpr int HANG_UP_MS = CALLS_SETTLED_MS + 300;
    for (const bool hangUp : {false, true}) {
        SCOPED_TRACE(hangUp ? "the port hangs up" : "Ctrl-C");
        std::vector<std::string> simArgs{"--trace", "--activity", WriteCallScript(dir.string())};
        if (hangUp) {
            simArgs.insert(simArgs.end(), {"--hangup-after", std::to_string(HANG_UP_MS)});
        }
        SimProcess sim(simArgs);
        ASSERT_TRUE(sim.Started()) << sim.Error();
        CtlProcess watch(Args(sim, {"watch", "--hits", "--json"}));
        int64_t stop = 0;
        CtlResult r;
        if (hangUp) {
            r = watch.Finish(10000);
            stop = SimZeroMs(sim) + HANG_UP_MS;
            EXPECT_EQ(r.code, 1) << r.err;
        } else {
            WaitForSimTime(sim, CALLS_SETTLED_MS);
            const auto count = [](const std::string& out) { return std::count(out.begin(), out.end(), '\n'); };
            EXPECT_TRUE(watch.WaitForOutput([&](const std::string& out) { return count(out) >= 3; }, 1000));
            stop = NowMs();
            watch.Signal(SIGINT);
            r = watch.Finish(3000);
            EXPECT_EQ(r.code, 130) << r.err;
        }
        std::vector<Hit> hits;
        for (const std::string& line : Lines(r.out)) {
            const json j = json::parse(line);
            Hit hit;
            ASSERT_TRUE(ParseIsoLocalTime(j["start"].get<std::string>(), hit.startMs, hit.utcOffsetMinutes)) << line;
            hit.durationMs = static_cast<uint32_t>(std::llround(j["duration"].get<double>() * 1000));
            hit.frequencyHz = j["frequencyHz"].get<uint32_t>();
            EXPECT_EQ(j["frequency"].get<std::string>().substr(0, 4), std::to_string(hit.frequencyHz / 1000000) + ".");
            hit.modulation = j["modulation"].get<std::string>();
            hit.mode = j["mode"].get<std::string>();
            hit.display = j["display"].get<std::string>();
            hit.rssiMax = j["rssiMax"].get<uint16_t>();
            hit.rssiMean = j["rssiMean"].get<uint16_t>();
            EXPECT_EQ(j["recording"].get<std::string>(), "") << "nothing recorded without --record";
            hits.push_back(hit);
        }
        ExpectScriptedHits(hits, sim, stop);
    }
    fs::remove_all(dir);
}

// `watch --hits | head -1` ends once head has its line and is gone, not at
// the next hit: here there is none to come.
TEST(CliWatch, EndsOnceItsReaderHasGone)
{
    SimProcess sim({"--traffic", "0"});
    ASSERT_TRUE(sim.Started()) << sim.Error();
    const std::string line = "timeout 10 sh -c '\"$0\" --port \"$1\" watch --hits | head -1 >/dev/null' " +
                             std::string(OSTRELLECTL_PATH) + " " + sim.Path();
    const auto start = std::chrono::steady_clock::now();
    const int status = std::system(line.c_str()); // NOLINT(cert-env33-c): the shell's pipe into head is the case
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_LT(ms.count(), 2000);
}

// Each number option takes its whole range and nothing beyond it, and
// --merge-gap, --record and the stream's options are refused where no hits
// are watched or served.
TEST(CliOptions, NumbersTakeTheirWholeRangeAndHitAndSoundOptionsGoWithTheirCommands)
{
    const auto n = [](int value) { return std::to_string(value); };
    const std::pair<std::vector<std::string>, bool> cases[] = {
        {{"key", "1", "--delay", n(cli::LONGEST_KEY_DELAY_MS)}, true},
        {{"key", "1", "--delay", n(cli::LONGEST_KEY_DELAY_MS + 1)}, false},
        {{"key", "1", "--delay", "0"}, true},
        {{"key", "1", "--delay", "-1"}, false},
        {{"watch", "--hits", "--merge-gap", n(cli::LONGEST_MERGE_GAP_MS)}, true},
        {{"watch", "--hits", "--merge-gap", n(cli::LONGEST_MERGE_GAP_MS + 1)}, false},
        {{"serve", "--rigctl-port", "65535"}, true},
        {{"serve", "--rigctl-port", "65536"}, false},
        {{"watch", "--merge-gap", "500"}, false},
        {{"status", "--merge-gap", "500"}, false},
        {{"watch", "--record"}, false},
        {{"--record", "watch", "--hits"}, true},
        {{"watch", "--hits", "--audio-device", "radio.monitor"}, false},
        {{"serve", "--stream", "icecast://h/m", "--audio-device", "radio.monitor"}, true},
        {{"status", "--stream", "icecast://h/m"}, false},
        {{"watch", "--hits", "--stream-password-file", "/tmp/p"}, false},
        {{"serve", "--stream-settings", "--stream-password-file", "/tmp/p"}, true},
        {{"watch", "--hits", "--record-format", "wav"}, false},
        {{"watch", "--stream-settings"}, false},
        {{"serve", "--stream-settings", "--stream", "icecast://h/m"}, false},
    };
    for (const auto& [args, fits] : cases) {
        cli::Options options;
        std::string error;
        EXPECT_EQ(cli::ParseOptions(args, options, error), fits) << ::testing::PrintToString(args) << error;
        EXPECT_EQ(error.empty(), fits) << error;
    }
    // A word after --record is its folder once the command is given.
    cli::Options options;
    std::string error;
    ASSERT_TRUE(cli::ParseOptions({"watch", "--hits", "--record", "calls", "--json"}, options, error)) << error;
    EXPECT_EQ(options.record.value_or(""), "calls");
}

// The usage lists every command of the table, and an option is refused,
// with the commands that take it, wherever its row does not put it.
TEST(CliOptions, UsageAndChecksFollowTheTable)
{
    const std::string usage = cli::UsageText();
    for (const cli::CommandDef& command : cli::commandTable) {
        EXPECT_NE(usage.find("\n  " + std::string(command.name) + " "), std::string::npos) << command.name;
    }
    EXPECT_NE(usage.find("\n  watch --hits "), std::string::npos);
    const std::pair<std::vector<std::string>, std::string> cases[] = {
        {{"status", "--yes"}, "--yes goes with read and write, not with status"},
        {{"key", "1", "--json"}, "--json goes with status, lcd and watch, not with key"},
        {{"ports", "--port", "COM1"},
         "--port goes with status, lcd, key, tune, read, write, watch and serve, not with ports"},
        {{"serve", "--hits", "--merge-gap", "5"}, "--hits goes with watch, not with serve"},
        {{"read", "f", "-y", "--reconnect"}, "--reconnect goes with watch and serve, not with read"},
        {{"watch", "--merge-gap", "5"}, "--merge-gap goes with watch --hits"},
        {{"serve", "x"}, "usage: ostrellectl serve [--listen ADDRESS] [--rigctl-port PORT]"},
        {{"tune"}, "usage: ostrellectl tune MHZ [am|fm|auto]"},
        {{"status", "-y=1"}, "unknown option -y=1"},
        {{"lcd", "--json", "--port", "COM2"}, ""},
        {{"serve", "--reconnect", "--listen", "0.0.0.0", "--rigctl-port", "0"}, ""},
    };
    for (const auto& [args, refusal] : cases) {
        cli::Options options;
        std::string error;
        EXPECT_EQ(cli::ParseOptions(args, options, error), refusal.empty()) << error;
        EXPECT_EQ(error, refusal);
    }
}

// The core's texts, written over several lines for a message box, read as
// sentences on one line.
TEST(CliMessages, LinesFoldIntoSentences)
{
    const std::pair<const char*, const char*> cases[] = {
        {"Receiving was cancelled: the image is incomplete.\n264 bytes came", "Receiving was cancelled: the image is "
                                                                              "incomplete. 264 bytes came"},
        {"Unable to open port COM 3\nAdd yourself to the dialout group", "Unable to open port COM 3. Add yourself to "
                                                                          "the dialout group"},
        {"they are kept in:\n/tmp/a.bin", "they are kept in: /tmp/a.bin"},
        {"Is it switched on?\n  Then try again", "Is it switched on? Then try again"},
        {"the line\nwent on", "the line went on"},
    };
    for (const auto& [text, line] : cases) {
        EXPECT_EQ(cli::OneLine(text), line);
    }
}

// Any text, a Windows path or a display with control codes alike, reads
// back from a JSON parser as it went in.
TEST(CliJson, TextsReadBackAsTheyWere)
{
    for (const std::string& text : {std::string("C:\\radio\\\"new\"\\"), std::string("tab\there\r\nend\x01\x7F"),
                                    std::string("\xE2\x96\xB2 \\u0041")}) {
        EXPECT_EQ(json::parse(cli::JsonString(text)).get<std::string>(), text);
    }
}

} // namespace
