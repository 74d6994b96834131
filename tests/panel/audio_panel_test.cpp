// The panel's audio faces against a private sound server: the Audio dialog
// (its inputs, its meter, its choice kept in the settings store), the
// Activity window playing a hit's recording, and the panel recording and
// streaming radiosim's calls as the store's choices say.

#include "panel/activityfeed.h"
#include "panel/activitywindow.h"
#include "panel/audiodlg.h"
#include "audio/player.h"
#include "activity/activitycsv.h"
#include "serial/keptfiles.h"
#include "recordingcheck.h"
#include "icecastprocess.h"
#include "scriptedcalls.h"
#include "sim/voice.h"
#include "soundserver.h"
#include "testsupport.h"

#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QSettings>
#include <QSpinBox>
#include <QTableView>

#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <memory>
#include <numbers>
#include <vector>

namespace {

namespace fs = std::filesystem;

class AudioPanel : public ::testing::Test {
protected:
    void SetUp() override
    {
        TestApplication();
        if (!SoundServer::Installed()) {
            GTEST_SKIP() << "pulseaudio and pactl are not installed; run tools/setup.sh test";
        }
        ASSERT_TRUE(sound.Started()) << sound.Error();
        ASSERT_TRUE(dir.isValid());
    }
    std::string Folder() const { return dir.path().toStdString(); }
    // A hit of now whose recording is `seconds` of a tone, as the recorder names it.
    Hit RecordedHit(uint32_t hz, RecordingFormat format, double seconds) const
    {
        Hit hit;
        hit.startMs = QDateTime::currentMSecsSinceEpoch();
        hit.utcOffsetMinutes = QDateTime::currentDateTime().offsetFromUtc() / 60;
        hit.frequencyHz = hz;
        hit.durationMs = static_cast<uint32_t>(seconds * 1000);
        std::vector<int16_t> tone(static_cast<size_t>(seconds * CAPTURE_RATE));
        for (size_t i = 0; i < tone.size(); ++i) {
            tone[i] = static_cast<int16_t>(12000 * std::sin(2 * std::numbers::pi * 1000 * static_cast<double>(i) /
                                                            CAPTURE_RATE));
        }
        RecordingFile file;
        std::string error;
        EXPECT_TRUE(file.Create(Folder(), RecordingStem(hit), format, hit, error) &&
                    file.Write(tone.data(), tone.size(), error) && file.Close(error))
            << error;
        hit.recording = file.Name();
        return hit;
    }

    SoundServer sound;
    QTemporaryDir dir;
    RecordingPrompts prompts;
};

// The dialog offers the server's inputs and "none", its meter follows the
// input chosen, and its choice comes back from the settings store as it was
// left; what a hand-edited store holds out of range is the default.
TEST_F(AudioPanel, TheDialogListsTheInputsMetersTheChosenOneAndKeepsItsChoice)
{
    const AudioInputs inputs = ListSoundServerInputs(SystemClock());
    ASSERT_EQ(inputs.error, "");
    AudioChoice current;
    current.input = sound.Monitor();
    current.record = true;
    current.format = RecordingFormat::Flac;
    current.folder = Folder();
    current.keepDays = 7;
    current.keepMiB = 300;
    CaptureLevelSource level;
    AudioDialog dialog(current, inputs, level, prompts);
    QComboBox* box = dialog.InputBox();
    ASSERT_EQ(box->count(), static_cast<int>(inputs.inputs.size()) + 2);
    EXPECT_EQ(box->itemData(0).toString(), QString()) << "the server's default first";
    EXPECT_EQ(box->itemText(box->count() - 1), QStringLiteral("none"));
    EXPECT_EQ(dialog.Choice(), current);

    // Silence, then the tone played into the sink whose monitor is chosen.
    const Hit tone = RecordedHit(146520000, RecordingFormat::Wav, 3.0);
    EXPECT_TRUE(QTest::qWaitFor([&] { return level.StateText().starts_with("Capturing from"); }, 3000))
        << level.StateText();
    QTest::qWait(300);
    EXPECT_EQ(dialog.Meter()->value(), METER_FLOOR_DB);
    RecordingPlayer player(SystemClock(), nullptr);
    player.Play(Folder() + "/" + tone.recording, sound.Sink());
    EXPECT_TRUE(QTest::qWaitFor([&] { return dialog.Meter()->value() > -12; }, 3000)) << dialog.Meter()->value();
    EXPECT_LT(dialog.Meter()->value(), -6) << "a tone at 12000 of 32768 peaks at -8.7 dB";

    // "none", while the tone still plays: nothing heard, nothing to record.
    box->setCurrentIndex(box->count() - 1);
    EXPECT_FALSE(dialog.RecordBox()->isEnabled());
    EXPECT_FALSE(dialog.Choice().Records());
    EXPECT_TRUE(QTest::qWaitFor([&] { return dialog.Meter()->value() == METER_FLOOR_DB; }, 1000));
    EXPECT_EQ(player.State(), PlayerState::Playing);
    player.Stop();

    const QString ini = dir.filePath(QStringLiteral("Ostrelle.ini"));
    {
        QSettings store(ini, QSettings::IniFormat);
        dialog.Choice().Save(store);
    }
    EXPECT_EQ(AudioChoice::Load(QSettings(ini, QSettings::IniFormat)), dialog.Choice());
    {
        QSettings store(ini, QSettings::IniFormat);
        store.setValue(QStringLiteral("Audio/Format"), QStringLiteral("mp3"));
        store.setValue(QStringLiteral("Audio/KeepDays"), -1);
        store.setValue(QStringLiteral("Audio/KeepMiB"), QStringLiteral("lots"));
    }
    const AudioChoice edited = AudioChoice::Load(QSettings(ini, QSettings::IniFormat));
    EXPECT_EQ(edited.format, DEFAULT_RECORDING_FORMAT);
    EXPECT_EQ(edited.keepDays, AudioChoice{}.keepDays);
    EXPECT_EQ(edited.keepMiB, AudioChoice{}.keepMiB);
    EXPECT_EQ(edited.input, std::string(NO_AUDIO_INPUT));

    // A folder that is a file is refused at OK, with the reason.
    box->setCurrentIndex(1);
    dialog.RecordBox()->setChecked(true);
    dialog.FolderBox()->setText(ini);
    dialog.accept();
    EXPECT_EQ(dialog.result(), QDialog::Rejected);
    ASSERT_EQ(prompts.warnings.size(), 1);
    EXPECT_EQ(prompts.informatives[0], QStringLiteral("It is not a folder."));
}

// A hit's recording is shown with its length and plays; one cut short says
// so, one gone from the folder says that; the rows stay as they were, and a
// row without a recording has nothing to play.
TEST_F(AudioPanel, TheActivityWindowPlaysARecordingAndSaysWhatIsWrongWithADamagedOne)
{
    ActivityWindow window(dir.filePath(QStringLiteral("log")));
    window.SetRecordingFolder(dir.path());
    const Hit whole = RecordedHit(146520000, RecordingFormat::Opus, 1.0);
    Hit cut = RecordedHit(433400000, RecordingFormat::Flac, 2.0);
    cut.startMs += 1000;
    const fs::path cutPath = fs::path(Folder()) / cut.recording;
    fs::resize_file(cutPath, fs::file_size(cutPath) / 2);
    Hit gone = whole;
    gone.startMs += 2000;
    gone.recording = "2020-01-01_00-00-00_146.520000MHz.opus";
    Hit silent = whole;
    silent.startMs += 3000;
    silent.recording.clear();
    for (const Hit& hit : {whole, cut, gone, silent}) {
        window.AddHit(hit);
    }
    ActivityTableModel& model = window.Model();
    ASSERT_EQ(model.rowCount(), 4);
    const auto row = [&](const Hit& hit) {
        for (int r = 0; r < model.rowCount(); ++r) {
            if (model.HitAt(r) == hit) {
                return r;
            }
        }
        return -1;
    };
    const auto select = [&](const Hit& hit) { window.Table()->setCurrentIndex(model.index(row(hit), 0)); };
    const QString name = QString::fromStdString(whole.recording);
    EXPECT_EQ(model.data(model.index(row(whole), ActivityTableModel::Recording)).toString(), name);

    select(silent);
    EXPECT_FALSE(window.PlayButton()->isEnabled());
    EXPECT_EQ(window.PlaybackLabel()->text(), QString());
    select(whole);
    EXPECT_TRUE(QTest::qWaitFor([&] { return window.PlaybackLabel()->text() == name + QStringLiteral(", 1.0 s"); },
                                3000))
        << window.PlaybackLabel()->text().toStdString();
    window.PlayButton()->click();
    EXPECT_TRUE(QTest::qWaitFor([&] { return window.Player().State() == PlayerState::Playing; }, 3000));
    EXPECT_TRUE(window.StopButton()->isEnabled());
    EXPECT_TRUE(window.PlaybackLabel()->text().startsWith(QStringLiteral("Playing ") + name));
    EXPECT_TRUE(QTest::qWaitFor([&] { return window.Player().State() == PlayerState::Finished; }, 3000));
    QTest::qWait(50);
    EXPECT_EQ(window.PlaybackLabel()->text().toStdString(), whole.recording + ", 1.0 s");
    EXPECT_FALSE(window.StopButton()->isEnabled());

    window.PlayRow(row(cut));
    EXPECT_TRUE(QTest::qWaitFor([&] { return window.Player().State() == PlayerState::Finished; }, 5000));
    QTest::qWait(50);
    EXPECT_TRUE(window.PlaybackLabel()->text().contains(QStringLiteral(" is cut short: only its first ")))
        << window.PlaybackLabel()->text().toStdString();
    window.PlayRow(row(gone));
    EXPECT_EQ(window.PlaybackLabel()->text().toStdString(),
              gone.recording + " is not in " + Folder() + " any more.");
    EXPECT_FALSE(window.StopButton()->isEnabled());

    ASSERT_EQ(model.rowCount(), 4);
    for (const Hit& hit : {whole, cut, gone, silent}) {
        EXPECT_GE(row(hit), 0);
    }
}

constexpr int kCom = 239;

// The panel on radiosim, whose calls sound as tones of their own into the
// sink, with `choice` and `stream` kept in its store as the dialogs keep them.
class SoundPanel : public AudioPanel {
protected:
    void SetUp() override
    {
        AudioPanel::SetUp();
        if (IsSkipped() || HasFatalFailure()) {
            return;
        }
        fs::create_directories(fs::path(KeptFilesDirectory()) / "ports");
        script = dir.filePath(QStringLiteral("calls.txt")).toStdString();
        // The first call once the monitor has had its two seconds to give sound.
        std::ofstream(script) << "4.0 144.012500 FM 0.8 620\n5.8 433.025000 NFM 0.6 480\n7.4 118.012500 AM 0.8 700\n"
                                  "9.2 460.025000 FM 0.6 550\n";
    }
    std::unique_ptr<CFrontPanelDlg> OpenPanel(const AudioChoice& choice, const StreamChoice& stream = {})
    {
        const QString ini = dir.filePath(QStringLiteral("Ostrelle.ini"));
        PanelStore(ini).RememberAudio(choice);
        EXPECT_TRUE(stream.Save(ini));
        auto panel = std::make_unique<CFrontPanelDlg>(&prompts, dir.path());
        panel->show();
        qobject_cast<QLineEdit*>(panel->Control(1032))->setText(QString::number(kCom));
        return panel;
    }
    std::unique_ptr<SimProcess> StartSim()
    {
        auto sim = std::make_unique<SimProcess>(
            std::vector<std::string>{"--voice", "tones", "--voice-sink", sound.Sink(), "--activity", script},
            KeptFilesDirectory() + "/ports/COM" + std::to_string(kCom));
        EXPECT_TRUE(sim->Started()) << sim->Error();
        return sim;
    }
    static void StartLink(CFrontPanelDlg& panel)
    {
        qobject_cast<QPushButton*>(panel.Control(1033))->click();
    }
    static bool SignSays(const CFrontPanelDlg& panel, const QString& text, int ms)
    {
        return QTest::qWaitFor([&] { return panel.SoundSign()->isVisible() && panel.SoundSign()->text() == text; },
                               ms);
    }
    std::string script;
};

// Recording kept on in the store starts with the panel and says so on its
// face; each call is one file from the pre-roll on, holding its own tone,
// named in its row of the day's file and of the Activity window, and a call
// heard with the log off is recorded still. The sound server killed leaves
// the link running and the sign saying that the input is missing; recording
// comes back with a new server.
TEST_F(SoundPanel, EachCallIsRecordedIntoTheFileItsRowNamesAndTheSignFollowsTheInput)
{
    AudioChoice choice;
    choice.input = sound.Monitor();
    choice.record = true;
    choice.folder = Folder() + "/calls";
    auto sim = StartSim();
    auto panel = OpenPanel(choice);
    EXPECT_TRUE(SignSays(*panel, QStringLiteral("Recording each hit"), 1000)) << panel->SoundSign()->text().toStdString();
    StartLink(*panel);
    ASSERT_TRUE(panel->Link().Running()) << prompts.warnings.join('|').toStdString();
    if (!QTest::qWaitFor([&] { return panel->SoundInput() != nullptr && panel->SoundInput()->SamplesCaptured() > 0; },
                         3000) ||
        NowMs() - SimZeroMs(*sim) > 3400) {
        GTEST_SKIP() << "the sound server gave sound only after the first call's pre-roll had begun";
    }
    panel->OnActivity();
    WaitForSimTime(*sim, 8400, QTest::qWait);
    StartLink(*panel); // STOP
    panel->LogActivityAction()->trigger();
    ASSERT_FALSE(panel->Activity().Logging());
    StartLink(*panel);
    WaitForSimTime(*sim, 10200, QTest::qWait);
    StartLink(*panel); // STOP

    const std::vector<std::string> files = Recordings(choice.folder);
    ActivityTableModel& model = panel->ActivityView()->Model();
    ASSERT_EQ(files.size(), 4u) << "one file per call, nothing between them";
    ASSERT_EQ(model.rowCount(), 4);
    const std::vector<Day> days = ActivityDays(dir.path().toStdString());
    ASSERT_FALSE(days.empty());
    const std::vector<Hit> logged =
        ReadActivityFile(dir.path().toStdString() + "/" + ActivityFileName(days.back())).hits;
    ASSERT_EQ(logged.size(), 3u) << "the last call came with the log off";
    const double callS[] = {0.8, 0.6, 0.8, 0.6};
    for (uint32_t i = 0; i < 4; ++i) {
        SCOPED_TRACE("call " + std::to_string(i + 1));
        EXPECT_EQ(model.HitAt(3 - static_cast<int>(i)).recording, files[i]) << "newest first";
        if (i < logged.size()) {
            EXPECT_EQ(logged[i].recording, files[i]);
        }
        const Decoded d = Decode(fs::path(choice.folder) / files[i]);
        ASSERT_TRUE(d.opened);
        EXPECT_NEAR(Seconds(d), RecorderSettings{}.preRollMs / 1000.0 + callS[i], LENGTH_TOLERANCE_S);
        const Loud loud = LoudPart(d);
        EXPECT_GT(loud.from, 0.1) << "the pre-roll is the quiet before the call";
        EXPECT_EQ(LoudestTone(d, loud.from, loud.to), sim::VoiceToneHz(i));
    }

    StartLink(*panel);
    sound.Kill();
    EXPECT_TRUE(SignSays(*panel, QStringLiteral("Recording: no sound input"), 3000))
        << panel->SoundSign()->text().toStdString();
    EXPECT_TRUE(panel->Link().Running());
    ASSERT_TRUE(sound.Start()) << sound.Error();
    EXPECT_TRUE(SignSays(*panel, QStringLiteral("Recording each hit"), 4000)) << panel->SoundSign()->text().toStdString();
    EXPECT_TRUE(prompts.warnings.isEmpty()) << prompts.warnings.join('|').toStdString();
}

// Streaming kept on in the store starts with the panel: the server's status
// page titles the mount with the call on the air, and a server killed and
// started again is found again within the back-off, the sign saying so.
TEST_F(SoundPanel, TheStreamIsTitledWithEachCallAndComesBackAfterTheServerRestarts)
{
    if (::access("/usr/bin/icecast2", X_OK) != 0) {
        GTEST_SKIP() << "icecast2 is not installed; run tools/setup.sh test";
    }
    IcecastProcess server;
    ASSERT_TRUE(server.Started()) << server.Error();
    AudioChoice choice;
    choice.input = sound.Monitor();
    StreamChoice stream;
    stream.on = true;
    stream.settings = SourceSettings(server, audio::StreamFormat::Mp3, "/panel.mp3");
    auto sim = StartSim();
    auto panel = OpenPanel(choice, stream);
    ASSERT_TRUE(SignSays(*panel, QStringLiteral("Streaming"), 5000)) << panel->SoundSign()->text().toStdString();
    EXPECT_NE(panel->SoundInput(), nullptr) << "the stream hears the input";
    StartLink(*panel);
    const auto title = [&] {
        const std::string page = server.Get("/status-json.xsl");
        const size_t at = page.find("\"title\":\"");
        return at == std::string::npos ? std::string() : page.substr(at + 9, page.find('"', at + 9) - at - 9);
    };
    EXPECT_TRUE(QTest::qWaitFor([&] { return title().rfind("144.012500 MHz FM", 0) == 0; }, 6000)) << title();

    server.Kill();
    EXPECT_TRUE(SignSays(*panel, QStringLiteral("Stream: retrying"), 5000)) << panel->SoundSign()->text().toStdString();
    ASSERT_TRUE(server.Start()) << server.Error();
    EXPECT_TRUE(SignSays(*panel, QStringLiteral("Streaming"), 8000)) << panel->SoundSign()->text().toStdString();
    EXPECT_TRUE(panel->SoundSign()->toolTip().contains(QString::fromStdString(IcecastUrlText(stream.settings))));
    EXPECT_FALSE(panel->SoundSign()->toolTip().contains(QString::fromStdString(server.SourcePassword())));
    EXPECT_TRUE(QTest::qWaitFor([&] { return !title().empty(); }, 4000)) << "a new connection has the last call's title";
    EXPECT_TRUE(prompts.warnings.isEmpty()) << prompts.warnings.join('|').toStdString();
}

} // namespace
