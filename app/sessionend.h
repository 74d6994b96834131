#pragma once

#include <QObject>

class CFrontPanelDlg;
class QSocketNotifier;

// Ends the front panel as Exit does when the desktop session ends, so that
// a logout or a shutdown stops the link and keeps the settings: the session
// manager's request to save its clients' data, its request to quit, and
// SIGTERM or SIGHUP (what a shutdown sends every process, and a closed
// terminal). While one exists, those two signals are caught; only one may
// exist at a time.
class SessionEnd : public QObject {
    Q_OBJECT
public:
    explicit SessionEnd(CFrontPanelDlg& panel, QObject* parent = nullptr);
    ~SessionEnd() override;

    SessionEnd(const SessionEnd&) = delete;
    SessionEnd& operator=(const SessionEnd&) = delete;

    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    CFrontPanelDlg& panel;
    QSocketNotifier* signalNotifier = nullptr;
};
