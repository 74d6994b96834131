// The panel's audio faces against a private sound server: the Audio dialog
// (its inputs, its meter, its choice kept in the settings store) and the
// Activity window playing a hit's recording.

#include "panel/activitywindow.h"
#include "panel/audiodlg.h"
#include "audio/player.h"
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

} // namespace
