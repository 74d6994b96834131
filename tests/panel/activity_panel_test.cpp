// The panel's activity log against radiosim playing scripted calls: the
// day's file, the Activity window over it, and a file that cannot be written.

#include "panel/activityfeed.h"
#include "panel/activitywindow.h"
#include "scriptedcalls.h"
#include "testsupport.h"

#include "activity/activitycsv.h"
#include "serial/keptfiles.h"

#include <QAction>
#include <QComboBox>
#include <QDate>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSettings>
#include <QTableView>
#include <QTableWidget>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <memory>

namespace {

namespace fs = std::filesystem;

constexpr int kCom = 236;

class ActivityPanel : public ::testing::Test {
protected:
    void SetUp() override
    {
        TestApplication();
        ASSERT_TRUE(dir.isValid());
        fs::create_directories(fs::path(KeptFilesDirectory()) / "ports");
    }
    std::string LinkPath() const { return KeptFilesDirectory() + "/ports/COM" + std::to_string(kCom); }
    std::unique_ptr<CFrontPanelDlg> OpenPanel()
    {
        auto panel = std::make_unique<CFrontPanelDlg>(&prompts, dir.path());
        panel->show();
        qobject_cast<QLineEdit*>(panel->Control(1032))->setText(QString::number(kCom));
        return panel;
    }
    static void Click(CFrontPanelDlg& panel, int id) { qobject_cast<QPushButton*>(panel.Control(id))->click(); }
    // Every hit in the day files of the settings folder, oldest day first.
    std::vector<Hit> LoggedHits() const
    {
        std::vector<Hit> hits;
        for (const Day day : ActivityDays(dir.path().toStdString())) {
            const ActivityFileContents contents =
                ReadActivityFile(dir.path().toStdString() + "/" + ActivityFileName(day));
            EXPECT_EQ(contents.skipped, 0u);
            hits.insert(hits.end(), contents.hits.begin(), contents.hits.end());
        }
        return hits;
    }

    QTemporaryDir dir;
    RecordingPrompts prompts;
};

// Each call radiosim plays is one row of the day's file, written as its hit
// ends; the call still on the air at STOP is written then, and heard again
// after START, at Exit. The Activity window opens with the rows written so
// far and takes the rest as they end.
TEST_F(ActivityPanel, ScriptedCallsAreTheRowsOfTheDayAndOfTheWindow)
{
    SimProcess sim({"--trace", "--activity", WriteCallScript(dir.path().toStdString())}, LinkPath());
    ASSERT_TRUE(sim.Started()) << sim.Error();
    auto panel = OpenPanel();
    EXPECT_TRUE(panel->LogActivityAction()->isChecked()) << "on by default";
    Click(*panel, 1033);
    ASSERT_TRUE(panel->Link().Running()) << prompts.warnings.join('|').toStdString();

    WaitForSimTime(sim, CALLS_SETTLED_MS, QTest::qWait);
    ASSERT_TRUE(WaitUntil([&] { return LoggedHits().size() == 3; }, 1000)) << LoggedHits().size();
    panel->OnActivity();
    ActivityWindow* window = panel->ActivityView();
    ASSERT_NE(window, nullptr);
    EXPECT_EQ(window->Model().rowCount(), 3);

    const int64_t stop = NowMs();
    Click(*panel, 1033); // STOP, the last call on the air
    ExpectScriptedHits(LoggedHits(), sim, stop);

    Click(*panel, 1033); // START: the same call, heard again
    ASSERT_TRUE(panel->Link().Running()) << prompts.warnings.join('|').toStdString() << " / "
                                           << prompts.informatives.join('|').toStdString();
    QTest::qWait(300);
    const int64_t exit = NowMs();
    Click(*panel, 1); // Exit
    const std::vector<Hit> hits = LoggedHits();
    ASSERT_EQ(hits.size(), 5u);
    EXPECT_EQ(hits[4].frequencyHz, ScriptedCalls().back().hz);
    EXPECT_NEAR(static_cast<double>(hits[4].startMs + hits[4].durationMs), static_cast<double>(exit), 100);
    EXPECT_GE(hits[4].durationMs, 150u);

    // The window: newest first, the rows as in the file, all of them live.
    ActivityTableModel& model = window->Model();
    ASSERT_EQ(model.rowCount(), 5);
    EXPECT_EQ(model.HitAt(0), hits[4]);
    EXPECT_EQ(model.HitAt(4), hits[0]);
    window->Table()->sortByColumn(ActivityTableModel::Frequency, Qt::AscendingOrder);
    EXPECT_EQ(model.HitAt(0).frequencyHz, 118012500u);
    window->FilterBox()->setText(QStringLiteral("channel 014"));
    ASSERT_EQ(model.rowCount(), 1);
    EXPECT_EQ(model.HitAt(0), hits[1]);
    EXPECT_NE(window->CountLabel()->text().indexOf(QStringLiteral("5 hits, 1 shown")), -1)
        << window->CountLabel()->text().toStdString();
    EXPECT_EQ(window->SelectedCsv().toStdString(),
              std::string(ACTIVITY_CSV_HEADER) + "\r\n" + HitCsvRow(hits[1]) + "\r\n");
    window->FilterBox()->setText(QStringLiteral("460.02"));
    EXPECT_EQ(model.rowCount(), 2);
    // The most active frequency: the one heard twice.
    ASSERT_EQ(window->Summary()->rowCount(), 4);
    EXPECT_EQ(window->Summary()->item(0, 0)->text(), QStringLiteral("460.025000"));
    EXPECT_EQ(window->Summary()->item(0, 1)->text(), QStringLiteral("2"));
    EXPECT_TRUE(prompts.warnings.isEmpty()) << prompts.warnings.join('|').toStdString();

    // Switched off, it stays off in the next run.
    panel->LogActivityAction()->trigger();
    EXPECT_FALSE(panel->Activity().Logging());
    panel.reset();
    EXPECT_FALSE(OpenPanel()->LogActivityAction()->isChecked());
}

// A day's file that cannot be written switches logging off with one message.
TEST_F(ActivityPanel, AFileThatCannotBeWrittenSwitchesLoggingOffWithOneMessage)
{
    const fs::path script = fs::path(dir.path().toStdString()) / "two.txt";
    std::ofstream(script) << "0.6 144.0125 FM 0.2 600\n1.0 433.025 NFM 0.2 500\n";
    const QDate today = QDate::currentDate();
    fs::create_directories(fs::path(dir.path().toStdString()) /
                           ActivityFileName({today.year(), today.month(), today.day()}));
    SimProcess sim({"--activity", script.string()}, LinkPath());
    ASSERT_TRUE(sim.Started()) << sim.Error();
    auto panel = OpenPanel();
    Click(*panel, 1033);
    ASSERT_TRUE(panel->Link().Running()) << prompts.warnings.join('|').toStdString();
    ASSERT_TRUE(WaitUntil([&] { return !prompts.warnings.isEmpty(); }, 3000));
    WaitForSimTime(sim, 1500, QTest::qWait);
    ASSERT_EQ(prompts.warnings.size(), 1) << prompts.warnings.join('|').toStdString();
    EXPECT_TRUE(prompts.warnings[0].startsWith(QStringLiteral("Unable to write the activity log:\n")));
    EXPECT_NE(prompts.warnings[0].indexOf(QStringLiteral("not a regular file")), -1);
    EXPECT_TRUE(prompts.warnings[0].endsWith(QStringLiteral("Logging activity has been switched off.")));
    EXPECT_FALSE(panel->LogActivityAction()->isChecked());
    Click(*panel, 1);
    EXPECT_EQ(prompts.warnings.size(), 1);
}

} // namespace
