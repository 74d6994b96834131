#pragma once

// The image transfer commands of the front panel. The transfer itself, its
// workers and the test of its end live in the station; here are the file
// choice, the messages, the timer, the progress window and the controls a
// transfer holds.

#include <QHash>
#include <QObject>

#include <string>

class CFrontPanelDlg;
class CTransferProgressDlg;
class ImageTransfer;
class Station;
struct TransferReport;

class TransferController : public QObject {
    Q_OBJECT
public:
    TransferController(CFrontPanelDlg& panel, Station& station);

    void OnSendImage();
    void OnReceiveImage();
    void OnTimer(int timerId);
    // The station's word that the transfer's worker has returned, from any
    // thread: the timer's next tick is not waited for.
    void TransferEnded();
    void OnCancelTransfer(bool resumePolling);
    // Made on first use.
    CTransferProgressDlg& ProgressWindow();
    // Exit's steps: the window of a transfer that was cut short goes too.
    void HideProgressWindow();
    // The running transfer's timer; 0 while none runs.
    int TimerId() const { return timerId; }

protected:
    void timerEvent(QTimerEvent* event) override;
    void customEvent(QEvent* event) override;

private:
    bool OpenImage(const QString& name, std::string (ImageTransfer::*open)(const std::string&));
    void StartTransfer();
    void EndTransfer(TransferReport report);
    void EnableTransferButtons(bool enabled);
    void HoldFrameControls();
    void ReleaseFrameControls();
    void StopTimer();

    CFrontPanelDlg& panel;
    Station& station;
    ImageTransfer& transfer;
    CTransferProgressDlg* progressDlg = nullptr;
    int timerId = 0;
    // The key and tune controls' state when the running transfer took them.
    QHash<int, bool> enabledBeforeTransfer;
};
