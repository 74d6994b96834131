#include "cfrontpaneldlg.h"
#include "transferprogressdlg.h"

#include <QFile>

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

// The start-of-transfer sequence, once the file is open.
void StartTransfer(CFrontPanelDlg& dlg)
{
    // Until polling is back no second transfer may take this one's stream.
    EnableTransferButtons(dlg, false);
    if (!dlg.transfer.Start(dlg.Link())) {
        EnableTransferButtons(dlg, dlg.Link().linkRunning);
        return;
    }
    if (dlg.transferTimerId != 0) {
        dlg.killTimer(dlg.transferTimerId);
    }
    dlg.transferTimerId = dlg.startTimer(TRANSFER_TIMER_PERIOD_MS);
    // The banner comes with the unlit background and no status: erase all.
    dlg.update();
    dlg.ProgressWindow().Begin(dlg.transfer.Snapshot(), QFile::decodeName(dlg.transfer.Path().c_str()));
}

// The end of a transfer, however it came: the buttons back, the progress
// window gone, and a transfer that did not end well said in one message.
void EndTransfer(CFrontPanelDlg& dlg, const TransferReport& report)
{
    dlg.update();
    EnableTransferButtons(dlg, dlg.Link().linkRunning);
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
    RememberImageFolder(name);
    const std::string refused = transfer.OpenForSending(LocalPath(name));
    if (!refused.empty()) {
        prompts->Warn(QString::fromLocal8Bit(refused.c_str()));
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
    RememberImageFolder(name);
    const std::string refused = transfer.OpenForReceiving(LocalPath(name));
    if (!refused.empty()) {
        prompts->Warn(QString::fromLocal8Bit(refused.c_str()));
        return;
    }
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

void CFrontPanelDlg::OnCancelTransfer()
{
    // The timer goes first, for the same reason as in OnTimer.
    if (transferTimerId != 0) {
        killTimer(transferTimerId);
        transferTimerId = 0;
    }
    EndTransfer(*this, transfer.Cancel(link));
}

CTransferProgressDlg& CFrontPanelDlg::ProgressWindow()
{
    if (progressDlg == nullptr) {
        progressDlg = new CTransferProgressDlg(this);
        connect(progressDlg, &CTransferProgressDlg::cancelRequested, this, [this] { OnCancelTransfer(); });
    }
    return *progressDlg;
}
