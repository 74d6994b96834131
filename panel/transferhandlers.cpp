#include "cfrontpaneldlg.h"

#include "activityfeed.h"
#include "radiomemory.h"
#include "transferprogressdlg.h"

#include <QFile>

#include <algorithm>
#include <array>

// The image transfer commands of the front panel. The transfer itself, its
// workers and the test of its end live in the core (ImageTransfer); here are
// the file choice, the messages, the timer and the buttons.

namespace {

// The timer's id where the platform lets the caller choose it. Qt hands out
// its own ids, so the one startTimer returns is what OnTimer compares.
[[maybe_unused]] constexpr int TRANSFER_TIMER_ID = 1124;
constexpr int TRANSFER_TIMER_PERIOD_MS = 100;
constexpr int SEND_BUTTON = 1000;
constexpr int RECEIVE_BUTTON = 1001;

const QString IMAGE_SUFFIX = QStringLiteral("bin");
const QString IMAGE_FILTER = QStringLiteral("BINARY Files (*.bin)");
const QString SEND_TITLE = QStringLiteral("Send a memory image to the radio");
const QString RECEIVE_TITLE = QStringLiteral("Save the radio's memory image");

std::string LocalPath(const QString& name)
{
    return QFile::encodeName(name).toStdString();
}

// Both transfer buttons follow the link, except while a transfer holds them.
void EnableTransferButtons(CFrontPanelDlg& dlg, bool enabled)
{
    for (const int id : {SEND_BUTTON, RECEIVE_BUTTON}) {
        if (QWidget* button = dlg.Control(id)) {
            button->setEnabled(enabled);
        }
    }
}

// The tune controls, which follow the link besides.
constexpr std::array<int, 3> TUNE_CONTROLS{1035, 1034, 1050};

// A key or a tune frame would land inside the image on the line, so the
// controls that send them rest while a transfer holds it (the link refuses
// such frames then in any case, whatever path they come by). Each comes
// back as it was, and the tune controls only while the link still runs.
void HoldFrameControls(CFrontPanelDlg& dlg)
{
    const auto hold = [&dlg](int id) {
        if (QWidget* control = dlg.Control(id)) {
            dlg.enabledBeforeTransfer.insert(id, control->isEnabled());
            control->setEnabled(false);
        }
    };
    dlg.enabledBeforeTransfer.clear();
    for (const KeyDef& key : keyTable) {
        hold(key.controlId);
    }
    for (const int id : TUNE_CONTROLS) {
        hold(id);
    }
}

void ReleaseFrameControls(CFrontPanelDlg& dlg)
{
    const bool running = dlg.Link().Running();
    for (auto it = dlg.enabledBeforeTransfer.cbegin(); it != dlg.enabledBeforeTransfer.cend(); ++it) {
        const bool tune = std::find(TUNE_CONTROLS.begin(), TUNE_CONTROLS.end(), it.key()) != TUNE_CONTROLS.end();
        if (QWidget* control = dlg.Control(it.key())) {
            control->setEnabled(it.value() && (running || !tune));
        }
    }
    dlg.enabledBeforeTransfer.clear();
}

// The start-of-transfer sequence, once the file is open.
void StartTransfer(CFrontPanelDlg& dlg)
{
    // Until polling is back no second transfer may take this one's stream.
    EnableTransferButtons(dlg, false);
    if (!dlg.transfer.Start(dlg.Link())) {
        EnableTransferButtons(dlg, dlg.TransfersPossible());
        return;
    }
    HoldFrameControls(dlg);
    // The radio is not heard while the image goes: a hit in progress ends here.
    dlg.Activity().LinkStopped();
    dlg.Activity().LinkStarted();
    if (dlg.transferTimerId != 0) {
        dlg.killTimer(dlg.transferTimerId);
    }
    dlg.transferTimerId = dlg.startTimer(TRANSFER_TIMER_PERIOD_MS);
    // The banner comes with the unlit background and no status: erase all.
    dlg.update();
    dlg.ProgressWindow().Begin(dlg.transfer.Snapshot(), QFile::decodeName(dlg.transfer.Path().c_str()));
}

// The end of a transfer, however it came: the buttons back, and either the
// progress window saying what was done, or the window gone and one message
// saying what went wrong. An image of fewer records than the file it was to
// replace takes its place only when the user says so.
void EndTransfer(CFrontPanelDlg& dlg, TransferReport report)
{
    dlg.update();
    EnableTransferButtons(dlg, dlg.TransfersPossible());
    ReleaseFrameControls(dlg);
    if (report.outcome == TransferOutcome::FewerRecords) {
        dlg.ProgressWindow().Finish();
        if (dlg.Prompts().Confirm(QString::fromLocal8Bit(dlg.transfer.ReplaceQuestion().c_str()))) {
            report = dlg.transfer.ReplaceWithReceived();
        }
    }
    if (report.radioRecords > 0) {
        (void)RememberRadioRecords(LocalPath(dlg.StorePath()), report.radioRecords); // only a hint is lost
    }
    if (report.outcome == TransferOutcome::Completed && report.message.empty()) {
        dlg.ProgressWindow().Succeeded(dlg.transfer.Snapshot(), QString::fromLocal8Bit(report.summary.c_str()));
        return;
    }
    dlg.ProgressWindow().Finish();
    if (!report.message.empty()) {
        dlg.Prompts().Warn(QString::fromLocal8Bit(report.message.c_str()));
    }
}

} // namespace

void CFrontPanelDlg::OnSendImage()
{
    const QString name = prompts->OpenFileName(SEND_TITLE, ImageFolder(), IMAGE_SUFFIX, IMAGE_FILTER);
    if (name.isEmpty()) {
        return;
    }
    const std::string refused = transfer.OpenForSending(LocalPath(name));
    if (!refused.empty()) {
        prompts->Warn(QString::fromLocal8Bit(refused.c_str()));
        return;
    }
    // Only a folder that worked is where the next dialog opens.
    RememberImageFolder(name);
    transfer.SetRadioRecords(RememberedRadioRecords(LocalPath(StorePath())));
    // What the radio holds is gone once the image goes: asked once, No the default.
    if (!prompts->Confirm(QString::fromLocal8Bit(transfer.SendQuestion().c_str()))) {
        transfer.Abandon();
        return;
    }
    StartTransfer(*this);
}

void CFrontPanelDlg::OnReceiveImage()
{
    const QString name = prompts->SaveFileName(RECEIVE_TITLE, ImageFolder(), IMAGE_SUFFIX, IMAGE_FILTER);
    if (name.isEmpty()) {
        return;
    }
    const std::string refused = transfer.OpenForReceiving(LocalPath(name));
    if (!refused.empty()) {
        prompts->Warn(QString::fromLocal8Bit(refused.c_str()));
        return;
    }
    RememberImageFolder(name);
    StartTransfer(*this);
}

void CFrontPanelDlg::OnTimer(int timerId)
{
    if (timerId == 0 || timerId != transferTimerId) {
        return;
    }
    if (transfer.Active() && !transfer.WorkerFinished(link)) {
        if (progressDlg != nullptr) {
            progressDlg->Update(transfer.Snapshot());
        }
        return;
    }
    // Stopped first: a message box below runs an event loop of its own, in
    // which this timer must not fire again.
    killTimer(transferTimerId);
    transferTimerId = 0;
    RestartPolling();
}

void CFrontPanelDlg::RestartPolling()
{
    // Closes the stream, and puts the poll worker back only while the link
    // runs: a transfer that STOP ended is taken down here without reviving it.
    EndTransfer(*this, transfer.Supervise(link));
}

void CFrontPanelDlg::OnCancelTransfer(bool resumePolling)
{
    // The timer goes first, for the same reason as in OnTimer.
    if (transferTimerId != 0) {
        killTimer(transferTimerId);
        transferTimerId = 0;
    }
    EndTransfer(*this, transfer.Cancel(link, resumePolling));
}

CTransferProgressDlg& CFrontPanelDlg::ProgressWindow()
{
    if (progressDlg == nullptr) {
        progressDlg = new CTransferProgressDlg(this);
        connect(progressDlg, &CTransferProgressDlg::cancelRequested, this, [this] { OnCancelTransfer(); });
    }
    return *progressDlg;
}
