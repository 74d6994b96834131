#pragma once

// The image transfer commands of the front panel. The transfer itself, its
// workers and the test of its end live in the core (ImageTransfer); here are
// the file choice, the messages, the timer, the progress window and the
// controls a transfer holds.

#include <QHash>
#include <QObject>

class CFrontPanelDlg;
class CTransferProgressDlg;
class ImageTransfer;
class RadioLink;
struct TransferReport;

class TransferController : public QObject {
    Q_OBJECT
public:
    TransferController(CFrontPanelDlg& panel, ImageTransfer& transfer, RadioLink& link);

    void OnSendImage();
    void OnReceiveImage();
    void OnTimer(int timerId);
    void RestartPolling();
    void OnCancelTransfer(bool resumePolling);
    // Made on first use.
    CTransferProgressDlg& ProgressWindow();
    // Exit's steps: the window of a transfer that was cut short goes too.
    void HideProgressWindow();
    // The running transfer's timer; 0 while none runs.
    int TimerId() const { return timerId; }

protected:
    void timerEvent(QTimerEvent* event) override;

private:
    void StartTransfer();
    void EndTransfer(TransferReport report);
    void EnableTransferButtons(bool enabled);
    void HoldFrameControls();
    void ReleaseFrameControls();
    void StopTimer();

    CFrontPanelDlg& panel;
    ImageTransfer& transfer;
    RadioLink& link;
    CTransferProgressDlg* progressDlg = nullptr;
    int timerId = 0;
    // The key and tune controls' state when the running transfer took them.
    QHash<int, bool> enabledBeforeTransfer;
};
