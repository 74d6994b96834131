#include "panel/transfercontroller.h"

#include "panel/activityfeed.h"
#include "panel/cfrontpaneldlg.h"
#include "panel/eventhandoff.h"
#include "panel/panelcontrols.h"
#include "panel/transferprogressdlg.h"
#include "station/station.h"
#include "transfer/radiomemory.h"

#include <QFile>
#include <QTimerEvent>

#include <algorithm>
#include <array>

namespace {

// The timer's id where the platform lets the caller choose it. Qt hands out
// its own ids, so the one startTimer returns is what OnTimer compares.
[[maybe_unused]] constexpr int TRANSFER_TIMER_ID = 1124;
constexpr int TRANSFER_TIMER_PERIOD_MS = 100;
// Posted by the transfer's worker as it returns.
const QEvent::Type TRANSFER_ENDED = static_cast<QEvent::Type>(QEvent::User + 103);

const QString IMAGE_SUFFIX = QStringLiteral("bin");
const QString IMAGE_FILTER = QStringLiteral("BINARY Files (*.bin)");
const QString SEND_TITLE = QStringLiteral("Send a memory image to the radio");
const QString RECEIVE_TITLE = QStringLiteral("Save the radio's memory image");

// The tune controls, which follow the link besides.
constexpr std::array<ControlId, 3> TUNE_CONTROLS{ControlId::Tune, ControlId::TuneFrequency,
                                                 ControlId::TuneModulation};

std::string LocalPath(const QString& name)
{
    return QFile::encodeName(name).toStdString();
}

} // namespace

TransferController::TransferController(CFrontPanelDlg& panel, Station& station)
    : panel(panel), station(station), transfer(station.Transfer())
{
}

// Both transfer buttons follow the link, except while a transfer holds them.
void TransferController::EnableTransferButtons(bool enabled)
{
    for (const ControlId id : {ControlId::SendImage, ControlId::ReceiveImage}) {
        if (QWidget* button = panel.Control(Id(id))) {
            button->setEnabled(enabled);
        }
    }
}

// A key or a tune frame would land inside the image on the line, so the
// controls that send them rest while a transfer holds it (the link refuses
// such frames then in any case, whatever path they come by). Each comes
// back as it was, and the tune controls only while the link still runs.
void TransferController::HoldFrameControls()
{
    const auto hold = [this](int id) {
        if (QWidget* control = panel.Control(id)) {
            enabledBeforeTransfer.insert(id, control->isEnabled());
            control->setEnabled(false);
        }
    };
    enabledBeforeTransfer.clear();
    for (const KeyButton& key : keyButtons) {
        hold(key.controlId);
    }
    for (const ControlId id : TUNE_CONTROLS) {
        hold(Id(id));
    }
}

void TransferController::ReleaseFrameControls()
{
    const bool running = station.Link().Running();
    for (auto it = enabledBeforeTransfer.cbegin(); it != enabledBeforeTransfer.cend(); ++it) {
        const bool tune = std::find(TUNE_CONTROLS.begin(), TUNE_CONTROLS.end(), ControlId(it.key())) !=
                          TUNE_CONTROLS.end();
        if (QWidget* control = panel.Control(it.key())) {
            control->setEnabled(it.value() && (running || !tune));
        }
    }
    enabledBeforeTransfer.clear();
}

// The start-of-transfer sequence, once the file is open.
void TransferController::StartTransfer()
{
    // Until polling is back no second transfer may take this one's stream.
    EnableTransferButtons(false);
    if (!station.StartTransfer()) {
        EnableTransferButtons(panel.TransfersPossible());
        return;
    }
    HoldFrameControls();
    // The radio is not heard while the image goes: a hit in progress ends here.
    panel.Activity().LinkStopped();
    panel.Activity().LinkStarted();
    StopTimer();
    timerId = startTimer(TRANSFER_TIMER_PERIOD_MS);
    // The banner comes with the unlit background and no status: erase all.
    panel.update();
    ProgressWindow().Begin(transfer.Snapshot(), QFile::decodeName(transfer.Path().c_str()));
}

// The end of a transfer, however it came: the buttons back, and either the
// progress window saying what was done, or the window gone and one message
// saying what went wrong. An image of fewer records than the file it was to
// replace takes its place only when the user says so.
void TransferController::EndTransfer(TransferReport report)
{
    panel.update();
    EnableTransferButtons(panel.TransfersPossible());
    ReleaseFrameControls();
    if (report.outcome == TransferOutcome::FewerRecords) {
        ProgressWindow().Finish();
        if (panel.Prompts().Confirm(QString::fromLocal8Bit(transfer.ReplaceQuestion().c_str()))) {
            report = transfer.ReplaceWithReceived();
        }
    }
    if (report.radioRecords > 0) {
        (void)RememberRadioRecords(LocalPath(panel.Store().Path()), report.radioRecords); // only a hint is lost
    }
    if (report.outcome == TransferOutcome::Completed && report.message.empty()) {
        ProgressWindow().Succeeded(transfer.Snapshot(), QString::fromLocal8Bit(report.summary.c_str()));
        return;
    }
    ProgressWindow().Finish();
    if (!report.message.empty()) {
        panel.Prompts().Warn(QString::fromLocal8Bit(report.message.c_str()));
    }
}

// The chosen file opened by `open`; false, with the reason said, when none
// was chosen or it cannot serve.
bool TransferController::OpenImage(const QString& name, std::string (ImageTransfer::*open)(const std::string&))
{
    if (name.isEmpty()) {
        return false;
    }
    const std::string refused = (transfer.*open)(LocalPath(name));
    if (!refused.empty()) {
        panel.Prompts().Warn(QString::fromLocal8Bit(refused.c_str()));
        return false;
    }
    // Only a folder that worked is where the next dialog opens.
    panel.Store().RememberImageFolder(name);
    return true;
}

void TransferController::OnSendImage()
{
    const QString name =
        panel.Prompts().OpenFileName(SEND_TITLE, panel.Store().ImageFolder(), IMAGE_SUFFIX, IMAGE_FILTER);
    if (!OpenImage(name, &ImageTransfer::OpenForSending)) {
        return;
    }
    transfer.SetRadioRecords(RememberedRadioRecords(LocalPath(panel.Store().Path())));
    // What the radio holds is gone once the image goes: asked once, No the default.
    if (!panel.Prompts().Confirm(QString::fromLocal8Bit(transfer.SendQuestion().c_str()))) {
        transfer.Abandon();
        return;
    }
    StartTransfer();
}

void TransferController::OnReceiveImage()
{
    const QString name =
        panel.Prompts().SaveFileName(RECEIVE_TITLE, panel.Store().ImageFolder(), IMAGE_SUFFIX, IMAGE_FILTER);
    if (OpenImage(name, &ImageTransfer::OpenForReceiving)) {
        StartTransfer();
    }
}

void TransferController::timerEvent(QTimerEvent* event)
{
    OnTimer(event->timerId());
}

void TransferController::OnTimer(int id)
{
    if (id == 0 || id != timerId) {
        return;
    }
    if (transfer.Active() && !station.TransferFinished()) {
        if (progressDlg != nullptr) {
            progressDlg->Update(transfer.Snapshot());
        }
        return;
    }
    // Stopped first: a message box below runs an event loop of its own, in
    // which this timer must not fire again.
    StopTimer();
    // Closes the stream, and puts the poll worker back only while the link
    // runs: a transfer that STOP ended is taken down here without reviving it.
    EndTransfer(station.SuperviseTransfer());
}

void TransferController::TransferEnded()
{
    PostHandedOver(this, TRANSFER_ENDED);
}

void TransferController::customEvent(QEvent* event)
{
    MarkTakenOver(event);
    if (event->type() == TRANSFER_ENDED) {
        OnTimer(timerId); // a tick of the timer then running, if any
    }
}

void TransferController::StopTimer()
{
    if (timerId != 0) {
        killTimer(timerId);
        timerId = 0;
    }
}

void TransferController::OnCancelTransfer(bool resumePolling)
{
    // The timer goes first, for the same reason as in OnTimer.
    StopTimer();
    EndTransfer(station.CancelTransfer(resumePolling));
}

CTransferProgressDlg& TransferController::ProgressWindow()
{
    if (progressDlg == nullptr) {
        progressDlg = new CTransferProgressDlg(&panel);
        connect(progressDlg, &CTransferProgressDlg::cancelRequested, this, [this] { OnCancelTransfer(true); });
    }
    return *progressDlg;
}

void TransferController::HideProgressWindow()
{
    if (progressDlg != nullptr) {
        progressDlg->hide();
    }
}
