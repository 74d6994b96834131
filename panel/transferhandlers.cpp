#include "cfrontpaneldlg.h"

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
}

} // namespace

void CFrontPanelDlg::OnSendImage()
{
    const QString name = prompts->OpenFileName(IMAGE_SUFFIX, IMAGE_FILTER);
    if (name.isEmpty()) {
        return;
    }
    const std::string refused = transfer.OpenForSending(LocalPath(name));
    if (!refused.empty()) {
        prompts->Warn(QString::fromLocal8Bit(refused.c_str()));
        return;
    }
    StartTransfer(*this);
}

void CFrontPanelDlg::OnReceiveImage()
{
    const QString name = prompts->SaveFileName(IMAGE_SUFFIX, IMAGE_FILTER);
    if (name.isEmpty()) {
        return;
    }
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
    const TransferReport report = transfer.Supervise(link);
    update();
    EnableTransferButtons(*this, link.linkRunning);
    if (!report.message.empty()) {
        prompts->Warn(QString::fromLocal8Bit(report.message.c_str()));
    }
}
