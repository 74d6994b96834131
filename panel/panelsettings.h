#pragma once

// What the front panel remembers between runs: the settings file's fixed
// lines (Ostrelle.cfg) as a value, and the store beside it (Ostrelle.ini)
// for everything else. Neither knows the window; the dialog hands them what
// it shows and takes back what they read.

#include "panel/audiochoice.h"
#include "panel/networkcontroldlg.h"

#include <QPoint>
#include <QRect>
#include <QString>
#include <QVariant>

#include <cstdint>
#include <optional>
#include <utility>

// The dialog's fields that the settings file and the controls carry.
struct PanelSettings {
    int32_t comPort = 1;
    double tuneFrequencyMHz = 25.0;
    int32_t tuneModulation = 2;
    // Read back: where the frame's corner was, when the file says.
    std::optional<QPoint> framePosition;
    // Written only: the frame, and the LCD with its lamp, on the screen.
    QRect frame;
    QRect lcdOnScreen;

    // Reads the port, the frequency and the position; false, with nothing
    // changed, when there is no file that may be read.
    bool Load(const QString& path);
    // All six lines, or the old file left as it was.
    void Save(const QString& path) const;
};

// The store of what is remembered beyond the settings file's fixed lines. A
// FIFO or a device in its place is neither read nor written.
class PanelStore {
public:
    explicit PanelStore(QString path) : path(std::move(path)) {}

    const QString& Path() const { return path; }
    // The folder of the image chosen last, for the file dialogs to open in;
    // empty when none is remembered or it is gone.
    QString ImageFolder() const;
    void RememberImageFolder(const QString& chosenFile) const;
    bool LogActivity() const;
    void RememberLogActivity(bool on) const;
    // The merge gap of hits in ms (Activity/MergeGapMs, else 1000).
    uint32_t MergeGapMs() const;
    NetworkControlChoice NetworkControl() const;
    void RememberNetworkControl(const NetworkControlChoice& choice) const;
    AudioChoice Audio() const;
    void RememberAudio(const AudioChoice& choice) const;

private:
    // The value of `key`, or `absent` where the store has none or may not be read.
    QVariant Read(const QString& key, const QVariant& absent) const;
    // Written now, so that a program killed later still finds it.
    void Write(const QString& key, const QVariant& value) const;
    QString path;
};
