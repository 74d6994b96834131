#include "panel/cfrontpaneldlg.h"

#include "panel/activityfeed.h"
#include "panel/activitywindow.h"
#include "panel/audiodlg.h"
#include "panel/eventhandoff.h"
#include "panel/streamdlg.h"

#include <QFile>
#include <QLabel>
#include <QTimer>

// What the station hears, as "Audio..." and "Stream..." chose it: the
// capture, the per-hit recorder and the stream are the station's; the panel
// keeps the choices in the store, puts them into effect, and shows on its
// face, below the network control's sign, that recording or streaming is on.

void CFrontPanelDlg::OnAudio()
{
    CaptureLevelSource level;
    AudioDialog dialog(audioChoice, ListSoundServerInputs(station.GetClock()), level, *prompts, this);
    if (dialog.exec() == QDialog::Accepted) {
        ApplyAudio(dialog.Choice());
        store.RememberAudio(audioChoice);
    }
}

void CFrontPanelDlg::OnStream()
{
    StreamDialog dialog(streamChoice, [this] { return station.StreamStatus(); }, *prompts, this);
    if (dialog.exec() != QDialog::Accepted) {
        return;
    }
    const QString refused = ApplyStream(dialog.Choice());
    if (!refused.isEmpty()) {
        prompts->Warn(QStringLiteral("The stream could not start."), refused);
    } else if (!streamChoice.Save(store.Path())) {
        prompts->Warn(QStringLiteral("The stream's settings could not be kept in %1.").arg(store.Path()));
    }
}

void CFrontPanelDlg::ApplyAudio(const AudioChoice& choice)
{
    const AudioChoice before = audioChoice;
    audioChoice = choice;
    // A recorder whose settings are unchanged goes on, and so does the
    // capture of an input still chosen: a hit being recorded is not cut.
    AudioChoice recorderBefore = before;
    recorderBefore.input = choice.input;
    if (!choice.Records()) {
        station.StopRecording();
    } else if (!station.RecordingOn() || recorderBefore != choice) {
        station.StartRecording(choice.Recorder());
    }
    if (choice.input == NO_AUDIO_INPUT) {
        station.StopStreaming();
    } else if (streamChoice.on && !station.StreamingOn()) {
        (void)station.StartStreaming(streamChoice.settings);
    }
    FollowSoundInput(before.input != choice.input);
}

QString CFrontPanelDlg::ApplyStream(const StreamChoice& choice)
{
    if (choice.on && audioChoice.input == NO_AUDIO_INPUT) {
        return QStringLiteral("The sound input is \"none\": there is nothing to stream. Right-click the panel and "
                              "choose Audio... to choose an input.");
    }
    if (!choice.on) {
        station.StopStreaming();
    } else if (!station.StreamingOn() || choice != streamChoice) {
        if (const std::string error = station.StartStreaming(choice.settings); !error.empty()) {
            return QString::fromStdString(error);
        }
    }
    streamChoice = choice;
    streamRefusalSaid = false;
    FollowSoundInput(false);
    return {};
}

void CFrontPanelDlg::FollowSoundInput(bool inputChanged)
{
    const bool listen = station.RecordingOn() || station.StreamingOn();
    if (!listen) {
        station.StopListening();
    } else if (!station.Listening() || inputChanged) {
        station.StartListening(audioChoice.input);
    }
    activity->SetHitsWanted(listen);
    if (activityWindow != nullptr) {
        activityWindow->SetRecordingFolder(QFile::decodeName(audioChoice.Folder().c_str()));
    }
    ShowSound();
}

void CFrontPanelDlg::RestoreSound()
{
    ApplyAudio(store.Audio());
    const StreamChoice kept = StreamChoice::Load(store.Path());
    const QString refused = ApplyStream(kept);
    if (refused.isEmpty()) {
        return;
    }
    // As for network control: said once the panel is on the screen, the
    // choice kept as it was, so that OK in the dialog or the next start tries again.
    streamChoice = kept;
    QTimer::singleShot(0, this, [this, refused] {
        prompts->Warn(QStringLiteral("The stream could not start."),
                      refused + QStringLiteral("\n\nRight-click the panel and choose Stream... to change it."));
    });
}

void CFrontPanelDlg::PostSoundChanged()
{
    if (!soundPending.exchange(true)) {
        PostHandedOver(this, QEvent::Type(WM_SOUND_CHANGED));
    }
}

void CFrontPanelDlg::OnSoundChanged()
{
    soundPending = false;
    for (std::string& notice : station.TakeSoundNotices()) {
        soundNotices.append(QString::fromStdString(notice));
    }
    while (soundNotices.size() > 3) {
        soundNotices.removeFirst();
    }
    // What the user must act on is said aloud, once: recording stopped by
    // the disk, or a stream the server refused for good. The rest (an input
    // lost and back, a retry) shows on the sign, which changes by itself.
    if (station.RecordingHalted() && !recordingHaltSaid) {
        recordingHaltSaid = true;
        prompts->Warn(soundNotices.isEmpty() ? QStringLiteral("Recording has stopped.") : soundNotices.last(),
                      QStringLiteral("Right-click the panel and choose Audio... to choose another folder."));
    }
    const audio::StreamStatus stream = station.StreamStatus();
    if (stream.state == audio::StreamState::Refused && stream.retryInMs == 0 && !streamRefusalSaid) {
        streamRefusalSaid = true;
        prompts->Warn(QString::fromStdString(stream.Text()),
                      QStringLiteral("Right-click the panel and choose Stream... to change it."));
    }
    ShowSound();
}

QString CFrontPanelDlg::SoundSignText() const
{
    QStringList lines;
    if (station.RecordingOn()) {
        const AudioCapture* capture = station.Capture();
        if (station.RecordingHalted()) {
            lines << QStringLiteral("Recording stopped");
        } else if (capture != nullptr && capture->State() == CaptureState::Waiting) {
            lines << QStringLiteral("Recording: no sound input");
        } else {
            lines << QStringLiteral("Recording each hit");
        }
    }
    if (station.StreamingOn()) {
        switch (station.StreamStatus().state) {
        case audio::StreamState::Connected:
            lines << QStringLiteral("Streaming");
            break;
        case audio::StreamState::Retrying:
            lines << QStringLiteral("Stream: retrying");
            break;
        case audio::StreamState::Refused:
            lines << QStringLiteral("Stream: refused");
            break;
        default:
            lines << QStringLiteral("Stream: connecting");
            break;
        }
    }
    return lines.join(QLatin1Char('\n'));
}

void CFrontPanelDlg::ShowSound()
{
    if (!station.RecordingHalted()) {
        recordingHaltSaid = false;
    }
    const QString text = SoundSignText();
    soundSign->setText(text);
    QStringList tip;
    if (station.RecordingOn()) {
        tip << QStringLiteral("Each hit is recorded into %1.")
                   .arg(QFile::decodeName(station.RecordingFolder().c_str()));
    }
    if (station.StreamingOn()) {
        tip << QString::fromStdString(station.StreamStatus().Text());
    }
    tip << soundNotices;
    tip << QStringLiteral("Right-click the panel and choose Audio... or Stream... to change it.");
    soundSign->setToolTip(tip.join(QLatin1Char('\n')));
    soundSign->setVisible(!text.isEmpty());
}
