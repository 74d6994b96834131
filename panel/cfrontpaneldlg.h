#pragma once

#include "imagetransfer.h"
#include "portmap.h"
#include "radiolink.h"
#include "statuspainter.h"
#include "userprompts.h"

#include <QDialog>
#include <QFont>
#include <QHash>
#include <QIcon>
#include <QRect>
#include <QString>

#include <atomic>
#include <cstdint>
#include <memory>

class CTransferProgressDlg;
class QAction;
class QLabel;
class QLineEdit;
class TraceFile;

// Posted by the link's worker after each stored reply; the window repaints.
inline constexpr int WM_PANEL_REFRESH = 1125;

// The front panel: the radio's face with its keypad, the link and transfer
// buttons, the tune box and the status fields, over the one RadioLink that
// holds the port, the flags, the records and the worker.
class CFrontPanelDlg : public QDialog {
    Q_OBJECT
public:
    // `prompts` answers every modal question (null: real message boxes and
    // file dialogs). `settingsDirectory` replaces the folder of kept files
    // as the place of the settings file and the trace (empty: that folder,
    // KeptFilesDirectory()).
    explicit CFrontPanelDlg(UserPrompts* prompts = nullptr, const QString& settingsDirectory = {},
                            QWidget* parent = nullptr);
    ~CFrontPanelDlg() override;

    // Runs once, before the window is first shown (or when a test calls it).
    bool OnInitDialog();

    // Moves the fields into the controls (false) or reads and validates the
    // controls into the fields (true), stopping at the first bad control.
    bool UpdateData(bool saveAndValidate = true);

    void OnStartStop();
    void OnTune();
    void OnEnableLcdPolls();
    void OnOK();
    // The desktop session ends (logout, shutdown): the same as Exit, and any
    // dialog open over the panel is closed so that the panel can end.
    void OnSessionEnd();
    void OnSysCommand(int id);
    // The "Serial ports..." dialog over the COM map.
    void OnSerialPorts();
    void OnPanelRefresh();
    // A key button's command, from a click or the keyboard: the same path.
    void OnKeyButton(int controlId);
    void StopWorker();
    // Esc must not end the dialog: Exit is the only way out.
    void reject() override;

    void LoadSettings();
    void SaveSettings();

    // Image transfers.
    void OnSendImage();
    void OnReceiveImage();
    void OnTimer(int timerId);
    void RestartPolling();
    // The progress window's Cancel: the transfer ends, the link runs on
    // (polling back at once, unless `resumePolling` is false: Exit).
    void OnCancelTransfer(bool resumePolling = true);
    // The progress window of the transfers, made on first use.
    CTransferProgressDlg& ProgressWindow();

    // The context menu's "Trace serial traffic" item and its handler.
    QAction* TraceAction() const { return traceAction; }
    void OnTraceTraffic(bool on);
    QString TracePath() const;

    RadioLink& Link() { return link; }
    UserPrompts& Prompts() { return *prompts; }
    // The control with that id, or null.
    QWidget* Control(int id) const { return controls.value(id, nullptr); }
    QLineEdit* FrequencyEdit() const { return frequencyEdit; }
    QRect LcdRect() const { return lcdRect; }
    QString ModuleDirectory() const { return moduleDirectory; }
    QString SettingsPath() const;
    // The text of the About item of the panel's menu; empty when there is none.
    QString AboutMenuText() const { return aboutMenuText; }

    QLabel* lcdFrame = nullptr;
    int32_t comPort = 1;
    // Where the COM map is read and written; a test points it at a fake tree.
    PortMapRoots portMapRoots = SystemPortMapRoots();
    double tuneFrequencyMHz = 25.0;
    int32_t tuneModulation = 2;
    QIcon appIcon;
    QString moduleDirectory;
    QRect lcdRect;
    QFont lcdFont;
    uint8_t versionMajor = 0;
    uint8_t versionMinor = 0;

protected:
    bool event(QEvent* event) override;
    void paintEvent(QPaintEvent* event) override;
    void timerEvent(QTimerEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;

private:
    void CreateControls();
    // Validating, for a command: the enabled controls, up to the first that
    // is refused. Otherwise, for Exit: every control that holds a good value.
    bool ReadControls(bool validate);
    void SetLinkControls(bool running);
    void SetControlText(int id, const QString& text);
    void SetControlEnabled(int id, bool enabled);
    void ApplyStatusView(const statuspaint::StatusView& view);
    void PostRefresh();

    std::unique_ptr<UserPrompts> ownPrompts;
    UserPrompts* prompts = nullptr;
    QHash<int, QWidget*> controls;
    QLineEdit* frequencyEdit = nullptr;
    QString aboutMenuText;
    QAction* traceAction = nullptr;
    CTransferProgressDlg* progressDlg = nullptr;
    bool initialised = false;
    std::atomic<bool> refreshPending{false};

    RadioLink link;

public:
    // Declared after the link, so that they go before the link does.
    ImageTransfer transfer;
    std::unique_ptr<TraceFile> trace;
    int transferTimerId = 0;
    // The key and tune controls' state when the running transfer took them.
    QHash<int, bool> enabledBeforeTransfer;
};
