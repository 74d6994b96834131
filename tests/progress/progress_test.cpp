// The transfer progress window and the traffic trace, through the window,
// against radiosim (or the static radio of the panel's tests) behind
// ports/COM<n>.

#include "ptyradio.h"
#include "simprocess.h"
#include "testsupport.h"

#include "app/cdemoapp.h"
#include "app/keypadfilter.h"
#include "panel/tracefile.h"
#include "panel/transferprogressdlg.h"

#include <algorithm>
#include <QAction>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QProgressBar>
#include <QPushButton>
#include <QRegularExpression>

#include <gtest/gtest.h>

#include <atomic>
#include <csignal>
#include <filesystem>
#include <thread>
#include <fstream>
#include <memory>

#include <sys/resource.h>
#include <unistd.h>

namespace {

// Apart from the numbers other test programs use, since all share ports/.
constexpr int COM_SEND = 171;
constexpr int COM_RECEIVE = 172;
constexpr int COM_CANCEL_SEND = 173;
constexpr int COM_CANCEL_RECEIVE = 174;
constexpr int COM_KEYPAD = 175;
constexpr int COM_TRACE = 176;
constexpr int COM_LONG_TRACE = 177;
constexpr int COM_FULL_DISK = 178;
constexpr int COM_HAMMER_RECEIVE = 179;
constexpr int COM_HAMMER_SEND = 180;
constexpr int COM_PIPE = 181;

std::string Hex(const uint8_t* bytes, size_t count)
{
    static constexpr char digits[] = "0123456789ABCDEF";
    std::string text;
    for (size_t i = 0; i < count; ++i) {
        text += ' ';
        text += digits[bytes[i] >> 4];
        text += digits[bytes[i] & 0x0F];
    }
    return text;
}

template <size_t N>
std::string Hex(const std::array<uint8_t, N>& frame)
{
    return Hex(frame.data(), frame.size());
}

QStringList Lines(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        return {};
    }
    return QString::fromLatin1(file.readAll()).split('\n', Qt::SkipEmptyParts);
}

// The program's own application object, as the program runs with.
CDemoApp& App()
{
    return TestApplication<CDemoApp>();
}

class ProgressTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        App();
        ASSERT_TRUE(dir.isValid());
        prompts.confirmAnswer = true; // every send here is meant
    }

    void TearDown() override
    {
        if (panel) {
            panel->StopWorker();
        }
        panel.reset();
        sim.reset();
        std::error_code ignored;
        std::filesystem::remove(PtyRadio::LinkPath(com), ignored);
    }

    // radiosim behind ports/COM<number>, and a panel on it after START.
    void StartWithSim(int number, std::vector<std::string> args)
    {
        com = number;
        sim = std::make_unique<SimProcess>(std::move(args), PtyRadio::LinkPath(number).string());
        ASSERT_TRUE(sim->Started()) << sim->Error();
        StartPanel(number);
    }

    void StartPanel(int number)
    {
        com = number;
        panel = std::make_unique<CFrontPanelDlg>(&prompts, dir.path());
        panel->OnInitDialog();
        panel->show();
        qobject_cast<QLineEdit*>(panel->Control(1032))->setText(QString::number(number));
        Click(1033);
        ASSERT_TRUE(panel->Link().Running()) << prompts.informatives.join('|').toStdString();
        panel->Transfer().SetProgressStream(nullptr);
    }

    void Click(int id) { qobject_cast<QPushButton*>(panel->Control(id))->click(); }

    QString WriteImage(const char* name, int records)
    {
        QString path = dir.filePath(QString::fromLatin1(name));
        std::ofstream out(path.toStdString(), std::ios::binary);
        for (int i = 0; i < records * IMAGE_RECORD_SIZE; ++i) {
            out.put(static_cast<char>(i * 7));
        }
        return path;
    }

    bool PollingIsBack()
    {
        const uint64_t before = panel->Link().Stats().statusRepliesStored;
        return WaitUntil([&] { return panel->Link().Stats().statusRepliesStored > before + 2; }, 5000);
    }

    CTransferProgressDlg& Window() { return panel->ProgressWindow(); }

    QTemporaryDir dir;
    RecordingPrompts prompts;
    int com = 0;
    std::unique_ptr<SimProcess> sim;
    std::unique_ptr<CFrontPanelDlg> panel;
};

// ---- The progress window ----------------------------------------------------

TEST_F(ProgressTest, TheWindowShowsTheTransferCountsUpAndEndsSayingWhatWasDone)
{
    struct Case {
        bool receive;
        int com;
        std::vector<std::string> simArgs;
        const char* direction;
    };
    // 60 records; the receive pauses a little (less than the end-of-data
    // silence) halfway, so that it is seen between start and end.
    const Case cases[] = {
        {false, COM_SEND, {"--expect-records", "60"}, "Sending from PC to radio"},
        {true, COM_RECEIVE, {"--records", "60", "--pause-at", "3960", "--pause-ms", "400"},
         "Receiving to PC from radio"},
    };
    // A locale that groups digits: the counts must still read as the
    // messages beside them write them.
    const QLocale before;
    QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates));
    for (const Case& c : cases) {
        SCOPED_TRACE(c.direction);
        StartWithSim(c.com, c.simArgs);
        const QString path = c.receive ? dir.filePath(QStringLiteral("in.bin")) : WriteImage("out.bin", 60);
        prompts.openAnswer = prompts.saveAnswer = path;
        Click(c.receive ? 1001 : 1000);

        ASSERT_TRUE(Window().isVisible());
        EXPECT_FALSE(Window().isModal());
        EXPECT_EQ(Window().parentWidget(), panel.get());
        EXPECT_EQ(Window().DirectionText(), QString::fromLatin1(c.direction));
        bool namesFile = false;
        for (const QLabel* label : Window().findChildren<QLabel*>()) {
            namesFile = namesFile || label->text() == QFileInfo(path).fileName();
        }
        EXPECT_TRUE(namesFile);
        // The worker may already be under way when the window opens (a slow
        // build): the radio may have answered, but the total is there at once.
        const bool waiting = Window().CountText() == QStringLiteral("Waiting for the radio...");
        if (c.receive) {
            EXPECT_EQ(Window().Bar()->maximum(), 0) << "a receive knows no total: busy bar";
            EXPECT_TRUE(waiting || Window().CountText().endsWith(QStringLiteral(" bytes")));
        } else {
            EXPECT_EQ(Window().Bar()->maximum(), 60);
            EXPECT_TRUE(waiting || Window().CountText().endsWith(QStringLiteral(" of 60 records")));
        }

        // Part of the way: the count has moved, the window is still open.
        ASSERT_TRUE(WaitUntil(
            [&] {
                const auto p = panel->Transfer().Snapshot();
                return c.receive ? Window().CountText().endsWith(QStringLiteral(" bytes")) &&
                                       Window().CountText() != QStringLiteral("0 bytes") && p.bytesReceived < 7920
                                 : Window().Bar()->value() > 0 && p.recordsSent < 60;
            },
            8000));
        EXPECT_TRUE(Window().isVisible());
        EXPECT_TRUE(Window().TimeText().contains(QStringLiteral("elapsed"))) << Window().TimeText().toStdString();
        EXPECT_TRUE(Window().TimeText().endsWith(QStringLiteral("bytes/s")));

        // At the end the window stays where the user looks, and says what
        // was done, with the whole path, until it is closed.
        ASSERT_TRUE(WaitUntil([&] { return panel->TransferTimerId() == 0; }, 10000));
        EXPECT_TRUE(Window().isVisible());
        EXPECT_TRUE(prompts.warnings.isEmpty()) << prompts.warnings.join('|').toStdString();
        EXPECT_EQ(Window().NoteText(),
                  (c.receive ? QStringLiteral("60 records (7920 bytes) were received into:\n")
                             : QStringLiteral("60 records went to the radio from:\n")) +
                      path);
        EXPECT_EQ(Window().CountText(), c.receive ? QStringLiteral("7920 bytes") : QStringLiteral("60 of 60 records"));
        EXPECT_EQ(Window().Bar()->value(), Window().Bar()->maximum());
        EXPECT_EQ(Window().CancelButton()->text(), QStringLiteral("Close"));
        EXPECT_TRUE(PollingIsBack());
        Window().CancelButton()->click();
        EXPECT_FALSE(Window().isVisible());
        EXPECT_TRUE(panel->Link().HasWorker() && !panel->Transfer().Active()) << "Close cancels nothing";
        if (c.receive) {
            EXPECT_EQ(QFileInfo(path).size(), 60 * IMAGE_RECORD_SIZE);
        }
        TearDown();
    }
    QLocale::setDefault(before);
}

TEST_F(ProgressTest, CancelEndsTheTransferSoonAndBringsPollingBack)
{
    struct Case {
        bool receive;
        int com;
        std::vector<std::string> simArgs;
        const char* message;
    };
    // The receive pauses for 450 ms after 20 records, less than the silence
    // that ends it; Cancel comes in that pause.
    const Case cases[] = {
        {false, COM_CANCEL_SEND, {"--expect-records", "200"}, "Sending was cancelled: %1 of 200 records went to the radio."},
        {true, COM_CANCEL_RECEIVE, {"--records", "60", "--pause-at", "2640", "--pause-ms", "450"},
         "Receiving was cancelled: the image is incomplete.\n%1 bytes were received; they are kept in:\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.message);
        StartWithSim(c.com, c.simArgs);
        const QString path = c.receive ? dir.filePath(QStringLiteral("cut.bin")) : WriteImage("long.bin", 200);
        prompts.openAnswer = prompts.saveAnswer = path;
        Click(c.receive ? 1001 : 1000);
        ASSERT_TRUE(Window().isVisible());
        ASSERT_TRUE(WaitUntil(
            [&] {
                const auto p = panel->Transfer().Snapshot();
                return c.receive ? p.bytesReceived >= 2640 : p.recordsSent >= 5;
            },
            8000));

        QElapsedTimer cancelling;
        cancelling.start();
        Window().CancelButton()->click();
        EXPECT_LT(cancelling.elapsed(), 300);

        EXPECT_FALSE(Window().isVisible());
        EXPECT_FALSE(panel->Transfer().Active());
        EXPECT_EQ(panel->TransferTimerId(), 0);
        EXPECT_TRUE(panel->Link().Running());
        EXPECT_TRUE(panel->Control(1000)->isEnabled() && panel->Control(1001)->isEnabled());
        const auto p = panel->Transfer().Snapshot();
        const int said = c.receive ? p.bytesReceived : p.recordsSent;
        ASSERT_EQ(prompts.warnings.size(), 1);
        EXPECT_TRUE(prompts.warnings[0].startsWith(QString::fromLatin1(c.message).arg(said)))
            << prompts.warnings[0].toStdString();
        if (c.receive) {
            // What arrived is kept beside the chosen name, all of it and
            // nothing else, in the file the message names.
            const QString kept = dir.filePath(QStringLiteral("cut.bin.partial"));
            EXPECT_TRUE(prompts.warnings[0].endsWith(QStringLiteral("kept in:\n") + kept));
            EXPECT_EQ(QFileInfo(kept).size(), said);
            EXPECT_FALSE(QFileInfo::exists(path));
            EXPECT_LT(said, 60 * IMAGE_RECORD_SIZE);
        } else {
            EXPECT_LT(said, 200);
        }
        EXPECT_TRUE(PollingIsBack());
        // No second message, from the timer or otherwise.
        QTest::qWait(250);
        EXPECT_EQ(prompts.warnings.size(), 1);
        // A second Cancel (a late click) finds nothing to end and says nothing.
        panel->OnCancelTransfer();
        EXPECT_EQ(prompts.warnings.size(), 1);
        prompts.warnings.clear();
        TearDown();
    }
}

TEST_F(ProgressTest, EscapeInTheWindowCancelsAndStopTellsOnce)
{
    StartWithSim(COM_CANCEL_SEND, {"--never-ready"});
    prompts.openAnswer = WriteImage("wait.bin", 3);
    Click(1000);
    ASSERT_TRUE(Window().isVisible());
    // A radio that never gets ready: the window says what it waits for, and
    // what to do, not a count of nothing at no rate.
    EXPECT_TRUE(WaitUntil([&] { return Window().NoteText().contains(QStringLiteral("PC/IF mode")); }, 3000));
    EXPECT_EQ(Window().CountText(), QStringLiteral("Waiting for the radio..."));
    EXPECT_FALSE(Window().TimeText().contains(QStringLiteral("bytes/s"))) << Window().TimeText().toStdString();
    QTest::keyClick(&Window(), Qt::Key_Escape);
    EXPECT_FALSE(Window().isVisible());
    ASSERT_EQ(prompts.warnings.size(), 1);
    EXPECT_EQ(prompts.warnings[0], QStringLiteral("Sending was cancelled: 0 of 3 records went to the radio."));
    EXPECT_TRUE(PollingIsBack());

    // STOP of the link during a transfer: the window goes with the
    // transfer on the timer's next tick, and one message says so.
    prompts.warnings.clear();
    Click(1000);
    ASSERT_TRUE(Window().isVisible());
    Click(1033);
    ASSERT_TRUE(WaitUntil([&] { return !Window().isVisible(); }, 1000));
    ASSERT_EQ(prompts.warnings.size(), 1);
    EXPECT_TRUE(prompts.warnings[0].startsWith(QStringLiteral("Sending was stopped")));
    QTest::qWait(250);
    EXPECT_EQ(prompts.warnings.size(), 1);
}

TEST_F(ProgressTest, TheKeypadStaysOffWhileTheWindowIsActive)
{
    StartWithSim(COM_KEYPAD, {"--trace"});
    KeypadFilter filter(*panel, std::span<const AccelEntry>(keypadAccel));
    App().installEventFilter(&filter);
    prompts.saveAnswer = dir.filePath(QStringLiteral("in.bin"));
    Click(1001);
    Window().activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&Window()));
    QTest::keyClicks(&Window(), QStringLiteral("12"));
    QTest::qWait(100);
    App().removeEventFilter(&filter);
    for (const KeyDef& key : keyTable) {
        const std::string frame = Hex(KeyFrame(key.code));
        for (const std::string& line : sim->TraceLines()) {
            EXPECT_EQ(line.find(frame), std::string::npos) << line;
        }
    }
    Window().CancelButton()->click();
}

// Keys and TUNE hammered while a transfer runs: by click, by the keyboard
// through the real keypad filter (Enter on START/STOP included), and from a
// thread of their own, as a control server would send them. Not one frame
// may reach the line inside the image: what the radio held arrives byte for
// byte, and what is sent is what the radio then holds.
TEST_F(ProgressTest, KeysHammeredDuringATransferNeverReachTheImage)
{
    struct Case {
        bool receive;
        int com;
    };
    for (const Case c : {Case{true, COM_HAMMER_RECEIVE}, Case{false, COM_HAMMER_SEND}}) {
        SCOPED_TRACE(c.receive ? "receive" : "send");
        const QString held = dir.filePath(c.receive ? QStringLiteral("held.bin") : QStringLiteral("taken.bin"));
        const QString image = c.receive ? WriteImage("held.bin", 200) : WriteImage("out.bin", 200);
        StartWithSim(c.com, {"--image", held.toStdString(), "--expect-records", "200"});
        KeypadFilter filter(*panel, std::span<const AccelEntry>(keypadAccel));
        App().installEventFilter(&filter);
        const QString received = dir.filePath(QStringLiteral("received.bin"));
        prompts.openAnswer = image;
        prompts.saveAnswer = received;

        std::atomic<bool> hammering{true};
        std::atomic<int> refused{0};
        std::thread server([&] {
            while (hammering) {
                refused += panel->Link().SendKey(32) == SendResult::LineOwned ? 1 : 0; // LIGHT
                refused += panel->Link().SendTune(146520000, 1) == SendResult::LineOwned ? 1 : 0;
                std::this_thread::sleep_for(std::chrono::milliseconds(2));
            }
        });
        Click(c.receive ? 1001 : 1000);
        panel->activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowActive(panel.get()));
        EXPECT_FALSE(panel->Control(1006)->isEnabled() || panel->Control(1035)->isEnabled() ||
                     panel->Control(1034)->isEnabled() || panel->Control(1050)->isEnabled());
        QElapsedTimer bound;
        bound.start();
        while (panel->TransferTimerId() != 0 && bound.elapsed() < 15000) {
            for (const int id : {1006, 1028, 1005, 1035}) { // SCAN, 1, LIGHT, TUNE
                Click(id);
            }
            panel->OnKeyButton(1018); // ENT, as any other path would press it
            panel->OnTune();
            panel->Control(1033)->setFocus();
            for (const Qt::Key key : {Qt::Key_1, Qt::Key_Up, Qt::Key_Return, Qt::Key_F1}) {
                QTest::keyClick(QApplication::focusWidget(), key);
            }
            QTest::qWait(5);
        }
        hammering = false;
        server.join();
        App().removeEventFilter(&filter);

        ASSERT_EQ(panel->TransferTimerId(), 0);
        EXPECT_TRUE(prompts.warnings.isEmpty()) << prompts.warnings.join('|').toStdString();
        EXPECT_TRUE(panel->Link().Running()) << "Enter on STOP pressed ENT, not STOP";
        EXPECT_GT(refused.load(), 0);
        // Enabled again as they were: the keys and, with the link running, TUNE.
        EXPECT_TRUE(panel->Control(1006)->isEnabled() && panel->Control(1035)->isEnabled() &&
                    panel->Control(1034)->isEnabled() && panel->Control(1050)->isEnabled());
        QFile original(image);
        ASSERT_TRUE(original.open(QIODevice::ReadOnly));
        const QByteArray sent = original.readAll();
        const QString result = c.receive ? received : held;
        EXPECT_TRUE(WaitUntil([&] { return QFileInfo(result).size() == sent.size(); }, 3000))
            << QFileInfo(result).size() << " bytes arrived of " << sent.size();
        QFile arrived(result);
        EXPECT_TRUE(arrived.open(QIODevice::ReadOnly) && arrived.readAll() == sent) << "the image changed on the way";
        TearDown();
    }
}

// Standard output may be a pipe whose reader has gone (the program piped
// into a pager that was quit): the running total must end neither the
// program nor the receive. Where the total is read, its line is ended.
TEST_F(ProgressTest, AReceiveLivesThroughAClosedPipeAndEndsTheTotalsLine)
{
    StartWithSim(COM_PIPE, {"--records", "20"});
    for (const bool readerGone : {true, false}) {
        SCOPED_TRACE(readerGone ? "reader gone" : "reader there");
        int ends[2] = {-1, -1};
        ASSERT_EQ(::pipe(ends), 0);
        if (readerGone) {
            ::close(ends[0]);
        }
        std::FILE* out = ::fdopen(ends[1], "w");
        ASSERT_NE(out, nullptr);
        panel->Transfer().SetProgressStream(out);
        const QString path = dir.filePath(readerGone ? QStringLiteral("gone.bin") : QStringLiteral("read.bin"));
        prompts.saveAnswer = path;
        Click(1001);
        ASSERT_TRUE(WaitUntil([&] { return panel->TransferTimerId() == 0; }, 8000));
        panel->Transfer().SetProgressStream(nullptr);
        (void)std::fclose(out); // the broken pipe's close fails too; nothing is lost

        EXPECT_TRUE(prompts.warnings.isEmpty()) << prompts.warnings.join('|').toStdString();
        EXPECT_EQ(QFileInfo(path).size(), 20 * IMAGE_RECORD_SIZE);
        if (!readerGone) {
            QFile reader;
            ASSERT_TRUE(reader.open(ends[0], QIODevice::ReadOnly, QFileDevice::AutoCloseHandle));
            const QByteArray shown = reader.readAll();
            EXPECT_TRUE(shown.endsWith("\r  2640\n")) << shown.toStdString();
        }
        EXPECT_TRUE(PollingIsBack());
    }
}

TEST(ProgressFormat, ElapsedAndRate)
{
    EXPECT_EQ(CTransferProgressDlg::FormatElapsed(0), QStringLiteral("0:00"));
    EXPECT_EQ(CTransferProgressDlg::FormatElapsed(65999), QStringLiteral("1:05"));
    EXPECT_EQ(CTransferProgressDlg::FormatElapsed(3723000), QStringLiteral("1:02:03"));
    EXPECT_EQ(CTransferProgressDlg::FormatRate(1000, 50), QStringLiteral("- bytes/s"));
    EXPECT_EQ(CTransferProgressDlg::FormatRate(0, 5000), QStringLiteral("- bytes/s"));
    EXPECT_EQ(CTransferProgressDlg::FormatRate(2640, 2000).remove(QRegularExpression(QStringLiteral("\\D"))),
              QStringLiteral("1320"));
}

// ---- The traffic trace ------------------------------------------------------

TEST_F(ProgressTest, TheTraceHoldsTheExactFramesBothWays)
{
    StartWithSim(COM_TRACE, {"--trace"});
    Click(1033); // STOP: the trace is switched on while stopped, then START
    ASSERT_FALSE(panel->TraceAction()->isChecked());
    panel->TraceAction()->trigger();
    ASSERT_TRUE(panel->TraceAction()->isChecked());
    Click(1033);
    ASSERT_TRUE(panel->Link().Running());
    ASSERT_TRUE(WaitUntil([&] { return panel->Link().Stats().lcdRepliesStored > 2; }, 3000));
    Click(1006); // SCAN
    qobject_cast<QLineEdit*>(panel->Control(1034))->setText(QStringLiteral("146.52"));
    Click(1035); // TUNE, modulation Auto
    QTest::qWait(300);
    Click(1033); // STOP: whatever is held back is written now
    panel->TraceAction()->trigger();
    ASSERT_FALSE(panel->TraceAction()->isChecked());

    const QStringList lines = Lines(panel->TracePath());
    ASSERT_GT(lines.size(), 4);
    EXPECT_TRUE(lines.front().startsWith(QStringLiteral("# Ostrelle trace switched on")));
    EXPECT_EQ(lines.filter(QStringLiteral("# START ")).size(), 1);
    const auto has = [&](const char* direction, const std::string& hex) {
        return !lines.filter(QString::fromLatin1(direction) + QStringLiteral(" ") + QString::fromStdString(hex))
                    .isEmpty();
    };
    EXPECT_TRUE(has("PC->RADIO", Hex(statusPollFrame)));
    EXPECT_TRUE(has("PC->RADIO", Hex(lcdPollFrame)));
    EXPECT_TRUE(has("RADIO->PC", " 02 41"));
    EXPECT_TRUE(has("RADIO->PC", " 02 4C"));
    EXPECT_TRUE(has("PC->RADIO", Hex(KeyFrame(15))));
    EXPECT_TRUE(has("PC->RADIO", Hex(TuneFrame(146520000, 2))));
    EXPECT_FALSE(lines.filter(QStringLiteral(", the same reply")).isEmpty());

    // Every traffic line is in radiosim's format, times counted from START;
    // the key and tune lines are the same bytes as radiosim saw.
    // They stand in time order.
    uint32_t first = UINT32_MAX;
    uint32_t previous = 0;
    for (const QString& line : lines) {
        if (line.startsWith('#')) {
            continue;
        }
        ASSERT_TRUE(line.size() > 24 && line.mid(9, 5) == QStringLiteral(" ms  ")) << line.toStdString();
        const uint32_t ms = line.left(9).trimmed().toUInt();
        first = std::min(first, ms);
        EXPECT_GE(ms, previous) << line.toStdString();
        previous = ms;
    }
    EXPECT_LT(first, 1000u);
    std::vector<std::string> simLines = sim->TraceLines();
    const std::pair<std::string, QString> frames[] = {{Hex(KeyFrame(15)), QStringLiteral("  # key SCAN")},
                                                      {Hex(TuneFrame(146520000, 2)),
                                                       QStringLiteral("  # tune 146.520000 MHz Auto")}};
    for (const auto& [frame, meaning] : frames) {
        const QStringList mine = lines.filter(QString::fromStdString(frame));
        ASSERT_FALSE(mine.isEmpty()) << frame;
        // Ours says what the frame means; the bytes before are radiosim's.
        ASSERT_TRUE(mine.front().endsWith(meaning)) << mine.front().toStdString();
        const std::string ours = mine.front().mid(9).chopped(meaning.size()).toStdString();
        bool found = false;
        for (const std::string& theirs : simLines) {
            found = found || (theirs.size() > 9 && theirs.substr(9) == ours);
        }
        EXPECT_TRUE(found) << ours;
    }
}

TEST_F(ProgressTest, TheTraceOfALongPollRunStaysSmall)
{
    // Replies that never change, so that every poll after the first repeats.
    PtyRadio radio(COM_LONG_TRACE);
    ASSERT_TRUE(radio.Ok());
    StartPanel(COM_LONG_TRACE);
    panel->TraceAction()->trigger();
    QTest::qWait(3000);
    const uint64_t polls = panel->Link().Stats().statusPollsSent + panel->Link().Stats().lcdPollsSent;
    Click(1033);
    panel->TraceAction()->trigger();
    EXPECT_GT(polls, 100u);
    const QStringList lines = Lines(panel->TracePath());
    // Unwritten repeats leave a few lines; on a starved machine a late reply
    // breaks a run of them now and then. Every poll written would be two
    // lines each.
    EXPECT_LT(static_cast<uint64_t>(lines.size()), std::max<uint64_t>(20, polls / 5)) << lines.join('\n').toStdString();
    EXPECT_LT(QFileInfo(panel->TracePath()).size(), 4096);
}

// Switched on while the link runs, the trace still counts from START; off
// while it runs, the repeats it was still counting are written, not lost.
TEST_F(ProgressTest, ATraceOnAndOffWhileTheLinkRunsKeepsItsTimesAndItsRepeats)
{
    PtyRadio radio(COM_LONG_TRACE);
    ASSERT_TRUE(radio.Ok());
    StartPanel(COM_LONG_TRACE);
    // Each pass pauses 10 ms: 60 of them are at least 600 ms after START.
    ASSERT_TRUE(WaitUntil([&] { return panel->Link().Stats().statusPollsSent > 60; }, 5000));
    panel->TraceAction()->trigger();
    const uint64_t polls = panel->Link().Stats().statusPollsSent;
    ASSERT_TRUE(WaitUntil([&] { return panel->Link().Stats().statusPollsSent > polls + 20; }, 3000));
    panel->TraceAction()->trigger();
    ASSERT_TRUE(panel->Link().Running());

    const QStringList traffic = Lines(panel->TracePath()).filter(QStringLiteral(" ms  "));
    ASSERT_FALSE(traffic.isEmpty());
    EXPECT_GE(traffic.front().left(9).trimmed().toUInt(), 600u) << traffic.front().toStdString();
    // Every status poll sent while it was on is there, in full or counted.
    uint64_t exchanges = 0;
    const QRegularExpression counted(QStringLiteral("\\((\\d+) more times"));
    const QString statusPolls = QStringLiteral("PC->RADIO ") + QString::fromStdString(Hex(statusPollFrame));
    for (const QString& line : traffic.filter(statusPolls)) {
        const QRegularExpressionMatch match = counted.match(line);
        exchanges += match.hasMatch() ? match.captured(1).toULongLong() : 1;
    }
    EXPECT_GE(exchanges, 20u) << traffic.join('\n').toStdString();
}

TEST_F(ProgressTest, ATraceThatCannotBeWrittenSwitchesItselfOffWithOneMessage)
{
    // CI runs as root, for whom a folder's permissions stop no write; these
    // fail for anyone: a directory where the file should be, and a link to a
    // disk that is always full, which is not even followed.
    struct Case {
        const char* what;
        std::function<void(const QString&)> prepare;
        const char* reason;
    };
    const Case cases[] = {
        {"a directory", [](const QString& path) { QDir().mkpath(path); }, "is not a regular file"},
        {"a link to a full disk", [](const QString& path) { QFile::link(QStringLiteral("/dev/full"), path); },
         "is a symbolic link"},
    };
    PtyRadio radio(COM_FULL_DISK);
    ASSERT_TRUE(radio.Ok());
    StartPanel(COM_FULL_DISK);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        prompts.warnings.clear();
        QDir(panel->TracePath()).removeRecursively();
        QFile::remove(panel->TracePath());
        c.prepare(panel->TracePath());
        panel->TraceAction()->trigger();
        EXPECT_FALSE(panel->TraceAction()->isChecked());
        QTest::qWait(2 * TraceFile::kFlushIntervalMs);
        ASSERT_EQ(prompts.warnings.size(), 1);
        EXPECT_TRUE(prompts.warnings[0].startsWith(QStringLiteral("Unable to write the trace file:\n") +
                                                   panel->TracePath()));
        EXPECT_TRUE(prompts.warnings[0].contains(QString::fromLatin1(c.reason))) << prompts.warnings[0].toStdString();
        // The link is none the worse for it.
        EXPECT_TRUE(PollingIsBack());
    }
}

TEST_F(ProgressTest, ATraceThatFailsLaterSwitchesItselfOffWithOneMessage)
{
    // A disk that fills while the trace runs, for anyone: a limit on the size
    // of the files this process writes, with the signal that would end it
    // ignored, so that the write fails with EFBIG instead.
    PtyRadio radio(COM_FULL_DISK);
    ASSERT_TRUE(radio.Ok());
    StartPanel(COM_FULL_DISK);
    panel->TraceAction()->trigger();
    ASSERT_TRUE(panel->TraceAction()->isChecked());
    rlimit old{};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &old), 0);
    const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    rlimit small = old;
    small.rlim_cur = static_cast<rlim_t>(QFileInfo(panel->TracePath()).size() + 100);
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
    const bool switchedOff = WaitUntil([&] { return !panel->TraceAction()->isChecked(); }, 3000);
    QTest::qWait(3 * TraceFile::kFlushIntervalMs);
    ::setrlimit(RLIMIT_FSIZE, &old);
    (void)std::signal(SIGXFSZ, oldHandler);

    EXPECT_TRUE(switchedOff);
    ASSERT_EQ(prompts.warnings.size(), 1);
    EXPECT_TRUE(prompts.warnings[0].contains(QStringLiteral("File too large"))) << prompts.warnings[0].toStdString();
    EXPECT_TRUE(PollingIsBack());
}

} // namespace
