// Hits as the detector finds them in played replies, and the daily files
// they are written to and read back from.

#include "activity/activitycsv.h"
#include "activity/activitylog.h"
#include "activity/hitdetector.h"

#include <gtest/gtest.h>

#include <csignal>
#include <map>
#include <functional>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include <sys/resource.h>
#include <sys/stat.h>

namespace {

namespace fs = std::filesystem;

// Tick 0 is 2026-12-08T23:59:58.000 at UTC+01:00, so a hit can cross midnight.
constexpr int64_t TICK0_MS = 1796770798000;
constexpr int32_t OFFSET = 60;

class FixedWallTime final : public WallTime {
public:
    int64_t MsOfTick(uint32_t tick) override { return TICK0_MS + static_cast<int32_t>(tick); }
    int32_t OffsetMinutesAt(int64_t) override { return OFFSET; }
};

// One reply as the link stores it: a status (squelch, frequency, RSSI) or a
// display whose first row names the channel.
struct Reply {
    uint32_t tick = 0;
    bool squelch = false;
    uint32_t hz = 155000000;
    uint16_t rssi = 0;
    const char* display = nullptr; // set: an LCD reply
};

StoredReply Stored(const Reply& r, const LcdImage& lcdHeld)
{
    StoredReply s;
    s.tickMs = r.tick;
    s.records.lcd = lcdHeld;
    if (r.display != nullptr) {
        s.kind = RecordKind::Lcd;
        return s;
    }
    s.kind = RecordKind::Status;
    RadioStatus& st = s.records.status;
    st.statusValid = true;
    st.block[0] = 1; // SCAN
    st.block[1] = r.squelch ? SQUELCH_OPEN_FLAG : 0x02;
    st.block[4] = static_cast<uint8_t>(r.rssi & 0xFF);
    st.block[5] = static_cast<uint8_t>(r.rssi >> 8);
    for (int i = 0; i < 4; ++i) {
        st.block[11 + i] = static_cast<uint8_t>(r.hz >> (8 * i));
    }
    st.block[15] = 2; // NFM
    return s;
}

LcdImage Display(const char* row0)
{
    LcdImage lcd;
    lcd.lcdValid = true;
    std::memset(lcd.rows, ' ', sizeof lcd.rows);
    for (auto& row : lcd.rows) {
        row[16] = 0;
    }
    std::memcpy(lcd.rows[0], row0, std::min<size_t>(16, std::strlen(row0)));
    std::memcpy(lcd.rows[3], "MOD  STEP  INFO ", 16);
    return lcd;
}

// Replies every 10 ms from `from` up to (not including) `to`.
void Run(std::vector<Reply>& replies, uint32_t from, uint32_t to, bool squelch, uint32_t hz = 155000000,
         uint16_t rssi = 500)
{
    for (uint32_t t = from; t != to; t += 10) {
        replies.push_back({t, squelch, hz, squelch ? rssi : uint16_t{20}});
    }
}

struct Expected {
    uint32_t startTick;
    uint32_t durationMs;
    uint32_t hz;
    uint16_t rssiMax;
    uint16_t rssiMean;
    std::string display = {};
};

struct Case {
    const char* name;
    std::vector<Reply> replies;
    bool closeAtEnd;
    std::vector<Expected> hits;
};

std::vector<Case> Cases()
{
    std::vector<Case> cases;
    const uint32_t wrap = 0xFFFFFF00u;
    {
        Case c{"one hit from the first open reply to the first closed one", {}, false, {{100, 300, 155000000, 500, 500}}};
        Run(c.replies, 0, 100, false);
        Run(c.replies, 100, 400, true);
        Run(c.replies, 400, 2000, false);
        cases.push_back(c);
    }
    {
        // 0.5 s of silence on the same frequency: one hit, the gap inside it,
        // RSSI over both parts (100 samples of 300 and 50 of 602: a mean of
        // 400.67, rounded).
        Case c{"a short gap on the same frequency continues the hit", {}, false, {{0, 2000, 155000000, 602, 401}}};
        Run(c.replies, 0, 1000, true, 155000000, 300);
        Run(c.replies, 1000, 1500, false);
        Run(c.replies, 1500, 2000, true, 155000000, 602);
        Run(c.replies, 2000, 3100, false);
        cases.push_back(c);
    }
    {
        Case c{"a gap as long as the merge gap ends it", {}, false, {{0, 500, 155000000, 500, 500}, {1500, 200, 155000000, 500, 500}}};
        Run(c.replies, 0, 500, true);
        Run(c.replies, 500, 1500, false);
        Run(c.replies, 1500, 1700, true);
        Run(c.replies, 1700, 2800, false);
        cases.push_back(c);
    }
    {
        Case c{"another frequency within the gap is another hit", {}, false, {{0, 500, 155000000, 500, 500}, {700, 300, 460012500, 800, 800}}};
        Run(c.replies, 0, 500, true);
        Run(c.replies, 500, 700, false);
        Run(c.replies, 700, 1000, true, 460012500, 800);
        Run(c.replies, 1000, 2100, false);
        cases.push_back(c);
    }
    {
        Case c{"a scanner going straight to the next transmission", {}, false, {{0, 400, 155000000, 500, 500}, {400, 200, 118000000, 700, 700}}};
        Run(c.replies, 0, 400, true);
        Run(c.replies, 400, 600, true, 118000000, 700);
        Run(c.replies, 600, 1700, false);
        cases.push_back(c);
    }
    {
        Case c{"open at STOP: ends with the last reply that showed it", {}, true, {{200, 290, 155000000, 500, 500}}};
        Run(c.replies, 0, 200, false);
        Run(c.replies, 200, 500, true);
        cases.push_back(c);
    }
    {
        Case c{"waiting out the gap at STOP: ends where the squelch closed", {}, true, {{0, 300, 155000000, 500, 500}}};
        Run(c.replies, 0, 300, true);
        Run(c.replies, 300, 600, false);
        cases.push_back(c);
    }
    {
        Case c{"a radio that falls silent while open ends the hit at its last reply", {}, false, {{0, 290, 155000000, 500, 500}}};
        Run(c.replies, 0, 300, true);
        Run(c.replies, 3000, 3100, true); // heard again: a new hit, still open
        cases.push_back(c);
    }
    {
        Case c{"the tick wraps during a hit", {}, true, {{wrap + 100, 400, 155000000, 500, 500}}};
        Run(c.replies, wrap, wrap + 100, false);
        Run(c.replies, wrap + 100, wrap + 500, true);
        Run(c.replies, wrap + 500, wrap + 700, false);
        cases.push_back(c);
    }
    {
        // The display held when the squelch opens still shows the channel
        // before; the first one polled during the hit is kept.
        Case c{"the display is the first polled during the hit", {}, false,
               {{100, 200, 155000000, 500, 500, "SCAN CH 002 | MOD  STEP  INFO"}}};
        c.replies.push_back({0, false, 155000000, 20, "SCAN CH 001"});
        Run(c.replies, 0, 100, false);
        Run(c.replies, 100, 150, true);
        c.replies.push_back({150, false, 155000000, 20, "SCAN CH 002"});
        Run(c.replies, 150, 300, true);
        c.replies.push_back({300, false, 155000000, 20, "SCAN CH 003"});
        Run(c.replies, 300, 1400, false);
        cases.push_back(c);
    }
    return cases;
}

TEST(HitDetector, FindsTheHitsOfPlayedReplies)
{
    size_t shownCount = 0;
    for (const Case& c : Cases()) {
        SCOPED_TRACE(c.name);
        FixedWallTime wall;
        HitDetector detector(wall);
        // Whoever follows the hits as they go sees each begin and end where
        // its row says, its squelch close and open again in between, and may
        // annotate the hit it is told of at the end.
        std::string edges;
        std::map<int64_t, std::string> shown; // by the hit's start, the display it was told of
        detector.SetObserver([&](HitEdge edge, uint32_t tick, Hit& hit) {
            const char letter = "BCRES"[static_cast<int>(edge)];
            edges += letter + std::to_string(tick) + " ";
            if (edge == HitEdge::Ended) {
                hit.recording = "of " + std::to_string(hit.startMs);
            }
            if (edge == HitEdge::Shown) {
                shown[hit.startMs] = hit.display;
            }
        });
        std::string expectedEdges;
        std::vector<Hit> hits;
        LcdImage held;
        for (const Reply& r : c.replies) {
            if (r.display != nullptr) {
                held = Display(r.display);
            }
            detector.Feed(Stored(r, held), hits);
        }
        if (c.closeAtEnd) {
            EXPECT_TRUE(detector.InProgress());
            detector.Close(hits);
        }
        EXPECT_FALSE(c.closeAtEnd && detector.InProgress());
        ASSERT_EQ(hits.size(), c.hits.size());
        for (size_t i = 0; i < hits.size(); ++i) {
            const Expected& e = c.hits[i];
            EXPECT_EQ(hits[i].startMs, wall.MsOfTick(e.startTick)) << "hit " << i;
            EXPECT_EQ(hits[i].utcOffsetMinutes, OFFSET);
            EXPECT_EQ(hits[i].durationMs, e.durationMs) << "hit " << i;
            EXPECT_EQ(hits[i].frequencyHz, e.hz) << "hit " << i;
            EXPECT_EQ(hits[i].rssiMax, e.rssiMax) << "hit " << i;
            EXPECT_EQ(hits[i].rssiMean, e.rssiMean) << "hit " << i;
            EXPECT_EQ(hits[i].mode, "SCAN");
            EXPECT_EQ(hits[i].modulation, "NFM");
            if (!e.display.empty()) {
                EXPECT_EQ(hits[i].display, e.display);
            }
            EXPECT_EQ(hits[i].recording, "of " + std::to_string(hits[i].startMs));
            // Told as soon as it is known, the display the hit keeps.
            if (shown.count(hits[i].startMs) != 0) {
                EXPECT_EQ(shown[hits[i].startMs], hits[i].display) << "hit " << i;
                ++shownCount;
            }
            const std::string began = "B" + std::to_string(e.startTick) + " ";
            const std::string ended = "E" + std::to_string(e.startTick + e.durationMs) + " ";
            const size_t from = edges.find(began);
            const size_t to = edges.find(ended, from);
            ASSERT_NE(from, std::string::npos) << edges;
            ASSERT_NE(to, std::string::npos) << edges;
            // Between them only the squelch closing and opening again.
            EXPECT_EQ(edges.substr(from + began.size(), to - from - began.size()).find_first_of("BE"),
                      std::string::npos)
                << edges;
            expectedEdges += began + ended;
        }
        std::string beganAndEnded;
        for (size_t at = 0; at < edges.size(); at = edges.find(' ', at) + 1) {
            if (edges[at] == 'B' || edges[at] == 'E') {
                beganAndEnded += edges.substr(at, edges.find(' ', at) + 1 - at);
            }
        }
        // A hit still open at the end has begun and not ended.
        EXPECT_EQ(beganAndEnded.rfind(expectedEdges, 0), 0u) << beganAndEnded;
        EXPECT_EQ(beganAndEnded.find('E', expectedEdges.size()), std::string::npos) << beganAndEnded;
        if (std::string(c.name) == "a short gap on the same frequency continues the hit") {
            EXPECT_EQ(edges, "B0 C1000 R1500 C2000 E2000 ");
        }
    }
    EXPECT_GT(shownCount, 0u);
}

Hit SampleHit(int64_t startMs, std::string display)
{
    Hit hit;
    hit.startMs = startMs;
    hit.utcOffsetMinutes = OFFSET;
    hit.durationMs = 5000;
    hit.frequencyHz = 4294967295u;
    hit.modulation = "NFM";
    hit.mode = "SCAN";
    hit.display = std::move(display);
    hit.rssiMax = 65535;
    hit.rssiMean = 0;
    return hit;
}

std::string ReadAll(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

class ActivityFiles : public ::testing::Test {
protected:
    void SetUp() override
    {
        dir = fs::temp_directory_path() / ("activity-test-" + std::to_string(::getpid()));
        fs::remove_all(dir);
        fs::create_directories(dir);
    }
    void TearDown() override { fs::remove_all(dir); }
    fs::path dir;
};

// Rows written are read back as they were, each in the file of the local day
// its hit began on, after one header.
TEST_F(ActivityFiles, RowsGoToTheDayTheHitBeganAndReadBackWhole)
{
    ActivityLog log(dir.string());
    // 23:59:58.500 local on the 8th, five seconds long: it ends on the 9th.
    const Hit acrossMidnight = SampleHit(TICK0_MS + 500, "SCAN  CH 001 | 155.0000 MHz");
    const Hit awkward = SampleHit(TICK0_MS + 400, " a \"quoted\", comma\r\nand a line \xE2\x96\xB2 ");
    Hit nextDay = SampleHit(TICK0_MS + 3000, "");
    nextDay.recording = "2026-12-09_00-00-01_4294.967295MHz, a comma.opus";
    for (const Hit& hit : {acrossMidnight, awkward, nextDay}) {
        ASSERT_EQ(log.Append(hit), "");
    }
    const fs::path eighth = dir / "Ostrelle-activity-2026-12-08.csv";
    const std::string text = ReadAll(eighth);
    EXPECT_EQ(text.rfind(std::string(ACTIVITY_CSV_HEADER) + "\r\n2026-12-08T23:59:58.500+01:00,5.000,4294.967295,NFM,SCAN,", 0), 0u)
        << text;
    EXPECT_NE(text.find(",\" a \"\"quoted\"\", comma\r\nand a line \xE2\x96\xB2 \","), std::string::npos) << text;

    const ActivityFileContents back = ReadActivityFile(eighth.string());
    EXPECT_EQ(back.skipped, 0u);
    ASSERT_EQ(back.hits.size(), 2u);
    EXPECT_EQ(back.hits[0], acrossMidnight);
    EXPECT_EQ(back.hits[1], awkward);
    const ActivityFileContents ninth = ReadActivityFile((dir / "Ostrelle-activity-2026-12-09.csv").string());
    ASSERT_EQ(ninth.hits.size(), 1u);
    EXPECT_EQ(ninth.hits[0], nextDay);

    // Other files beside them are no days; a row cut short is passed over.
    std::ofstream(dir / "Ostrelle-activity-2026-02-30.csv") << "x";
    std::ofstream(dir / "Ostrelle.cfg") << "1";
    std::ofstream(eighth, std::ios::app) << "2026-12-08T23:59:59.000+01:00,1.0";
    const std::vector<Day> days = ActivityDays(dir.string());
    ASSERT_EQ(days.size(), 2u);
    EXPECT_EQ(DayText(days[0]), "2026-12-08");
    EXPECT_EQ(DayText(days[1]), "2026-12-09");
    const ActivityFileContents cut = ReadActivityFile(eighth.string());
    EXPECT_EQ(cut.hits.size(), 2u);
    EXPECT_EQ(cut.skipped, 1u);

    // A file from before the recordings' column: its header and rows are
    // one field shorter, and load as hits without a recording.
    const std::string older = "start,duration_s,frequency_mhz,modulation,mode,display,rssi_max,rssi_mean\r\n"
                              "2026-12-07T10:00:00.000+01:00,2.500,155.000000,NFM,SCAN,CH 1,500,480\r\n";
    const ActivityFileContents before = ParseActivityCsv(older);
    EXPECT_EQ(before.skipped, 0u);
    ASSERT_EQ(before.hits.size(), 1u);
    EXPECT_EQ(before.hits[0].durationMs, 2500u);
    EXPECT_EQ(before.hits[0].rssiMean, 480u);
    EXPECT_EQ(before.hits[0].recording, "");

    // Times of other offsets and dates come back to the same instant.
    for (const char* iso : {"2024-02-29T00:00:00.000-09:30", "1999-12-31T23:59:59.999+14:00",
                            "2026-03-29T02:30:00.001Z"}) {
        int64_t ms = 0;
        int32_t offset = 0;
        ASSERT_TRUE(ParseIsoLocalTime(iso, ms, offset)) << iso;
        EXPECT_EQ(IsoLocalTime(ms, offset), std::string(iso).back() == 'Z'
                                                 ? std::string(iso).substr(0, 23) + "+00:00"
                                                 : std::string(iso));
    }
    for (const char* bad : {"2026-12-08T24:00:00.000+01:00", "2026-12-08 23:00:00.000+01:00",
                            "2026-12-08T23:00:00+01:00", "2026-13-01T00:00:00.000Z", "1900-02-29T12:00:00.000Z"}) {
        int64_t ms = 0;
        int32_t offset = 0;
        EXPECT_FALSE(ParseIsoLocalTime(bad, ms, offset)) << bad;
    }
}

// The files are the user's alone whatever the umask, a link in a file's
// place is never written through (nor its target made), and a row always
// starts a line of its own.
TEST_F(ActivityFiles, FilesArePrivateNeverReachedThroughALinkAndRowsStartTheirOwnLine)
{
    const Hit hit = SampleHit(TICK0_MS + 500, "SCAN");
    const fs::path file = dir / "Ostrelle-activity-2026-12-08.csv";
    const mode_t oldMask = ::umask(0);
    const std::string made = ActivityLog(dir.string()).Append(hit);
    ::umask(oldMask);
    ASSERT_EQ(made, "");
    EXPECT_EQ(fs::status(file).permissions(), fs::perms::owner_read | fs::perms::owner_write);

    // Somebody else's file behind a link, and a link to nothing.
    const fs::path elsewhere = dir / "elsewhere";
    fs::create_directories(elsewhere);
    const fs::path target = elsewhere / "bashrc";
    std::ofstream(target) << "keep me";
    for (const fs::path& to : {target, elsewhere / "not-yet"}) {
        SCOPED_TRACE(to.string());
        fs::remove(file);
        fs::create_symlink(to, file);
        const std::string refused = ActivityLog(dir.string()).Append(hit);
        EXPECT_NE(refused.find(file.string() + " is a symbolic link"), std::string::npos) << refused;
        EXPECT_TRUE(fs::is_symlink(file));
    }
    EXPECT_EQ(ReadAll(target), "keep me");
    EXPECT_FALSE(fs::exists(elsewhere / "not-yet"));

    // A last row without its line end, as an editor or a crash leaves it.
    fs::remove(file);
    ASSERT_EQ(ActivityLog(dir.string()).Append(hit), "");
    std::string text = ReadAll(file);
    text.resize(text.size() - 2);
    std::ofstream(file, std::ios::binary | std::ios::trunc) << text;
    ASSERT_EQ(ActivityLog(dir.string()).Append(hit), "");
    const ActivityFileContents back = ReadActivityFile(file.string());
    EXPECT_EQ(back.hits.size(), 2u);
    EXPECT_EQ(back.skipped, 0u);
}

// A display that spans lines, with no comma or quote to give it away, is
// still one field of one row.
TEST_F(ActivityFiles, LineBreaksInAFieldStayInTheirRow)
{
    const Hit hit = SampleHit(TICK0_MS + 500, "CH 001\nCH 002\rend");
    ASSERT_EQ(ActivityLog(dir.string()).Append(hit), "");
    const ActivityFileContents back = ReadActivityFile((dir / "Ostrelle-activity-2026-12-08.csv").string());
    EXPECT_EQ(back.skipped, 0u);
    ASSERT_EQ(back.hits.size(), 1u);
    EXPECT_EQ(back.hits[0], hit);
}

// A file that cannot take the row says why, and leaves nothing of the row
// behind for the next one to run into.
TEST_F(ActivityFiles, AFileThatCannotBeWrittenSaysWhyAndKeepsNoHalfRow)
{
    const Hit hit = SampleHit(TICK0_MS + 500, "SCAN");
    const fs::path file = dir / "Ostrelle-activity-2026-12-08.csv";
    struct Hostile {
        const char* name;
        std::function<void()> make;
        const char* says;
    };
    const std::vector<Hostile> cases{
        {"a directory in its place", [&] { fs::create_directories(file); }, "not a regular file"},
        {"a FIFO in its place", [&] { ASSERT_EQ(::mkfifo(file.c_str(), 0600), 0); }, "not a regular file"},
        {"a folder that is gone", [&] { fs::remove_all(dir); }, "No such file or directory"},
    };
    for (const Hostile& h : cases) {
        SCOPED_TRACE(h.name);
        fs::remove_all(dir);
        fs::create_directories(dir);
        h.make();
        const std::string refused = ActivityLog(dir.string()).Append(hit);
        EXPECT_NE(refused.find(file.string()), std::string::npos) << refused;
        EXPECT_NE(refused.find(h.says), std::string::npos) << refused;
    }

    // A disk that fills in the middle of a row.
    fs::remove_all(dir);
    fs::create_directories(dir);
    ActivityLog log(dir.string());
    ASSERT_EQ(log.Append(hit), "");
    const std::string whole = ReadAll(file);
    const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    rlimit old{};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old), 0);
    rlimit limited = old;
    limited.rlim_cur = whole.size() + 20;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limited), 0);
    const std::string refused = log.Append(hit);
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &old), 0);
    (void)std::signal(SIGXFSZ, oldHandler);
    EXPECT_NE(refused.find("File too large"), std::string::npos) << refused;
    EXPECT_EQ(ReadAll(file), whole);
    ASSERT_EQ(log.Append(hit), "");
    EXPECT_EQ(ReadActivityFile(file.string()).hits.size(), 2u);
}

} // namespace
