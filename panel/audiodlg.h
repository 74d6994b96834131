#pragma once

#include "panel/audiochoice.h"

#include "audio/capture.h"
#include "serial/clock.h"

#include <QDialog>

#include <memory>
#include <string>

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QProgressBar;
class QPushButton;
class QSpinBox;
class UserPrompts;

// What the dialog's meter reads: the input chosen in the dialog, heard
// while the dialog is open, so that the gain can be set before OK.
class AudioLevelSource {
public:
    virtual ~AudioLevelSource() = default;
    // Hears `input` from now on (as AudioChoice keeps it; NO_AUDIO_INPUT: nothing).
    virtual void Listen(const std::string& input) = 0;
    // The latest peak, 0 to 1.
    virtual float Level() const = 0;
    // What the input is doing, in words.
    virtual std::string StateText() const = 0;
};

// A capture of its own from the sound server, for the meter alone.
class CaptureLevelSource : public AudioLevelSource {
public:
    CaptureLevelSource();
    ~CaptureLevelSource() override;
    CaptureLevelSource(const CaptureLevelSource&) = delete;
    CaptureLevelSource& operator=(const CaptureLevelSource&) = delete;

    void Listen(const std::string& input) override;
    float Level() const override;
    std::string StateText() const override;

private:
    std::unique_ptr<AudioCapture> capture;
    bool listening = false;
};

// "Audio...": the sound input, "Record each hit", the recordings' format,
// folder and limits, and a live level meter of the input chosen.
class AudioDialog : public QDialog {
    Q_OBJECT
public:
    // `inputs` is the sound server's list as it was when the dialog opened;
    // `level` is heard for the meter; `prompts` chooses the folder and says
    // why a choice cannot be taken.
    AudioDialog(const AudioChoice& current, const AudioInputs& inputs, AudioLevelSource& level, UserPrompts& prompts,
                QWidget* parent = nullptr);

    AudioChoice Choice() const;
    // Stays open, with the reason, while the chosen folder cannot hold recordings.
    void accept() override;

    QComboBox* InputBox() const { return inputBox; }
    QCheckBox* RecordBox() const { return recordBox; }
    QLineEdit* FolderBox() const { return folderBox; }
    QProgressBar* Meter() const { return meter; }

private:
    void ChooseFolder();
    void UpdateState();
    void ShowLevel();

    AudioLevelSource& level;
    UserPrompts& prompts;
    QComboBox* inputBox = nullptr;
    QCheckBox* recordBox = nullptr;
    QComboBox* formatBox = nullptr;
    QLineEdit* folderBox = nullptr;
    QPushButton* chooseButton = nullptr;
    QSpinBox* daysBox = nullptr;
    QSpinBox* sizeBox = nullptr;
    QProgressBar* meter = nullptr;
    QLabel* inputState = nullptr;
};

// The meter's reading of a peak: decibels below full scale, from
// METER_FLOOR_DB (and silence) to 0.
inline constexpr int METER_FLOOR_DB = -60;
int MeterDecibels(float peak);
