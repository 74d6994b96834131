#pragma once

#include "imagetransfer.h"
#include "lcdpainter.h"
#include "linkaccess.h"
#include "networkcontroldlg.h"
#include "portmap.h"
#include "radiolink.h"
#include "rigctlserver.h"
#include "statuspainter.h"
#include "userprompts.h"

#include <QDialog>
#include <QFont>
#include <QHash>
#include <QIcon>
#include <QMap>
#include <QRect>
#include <QString>
#include <QStringList>

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>

class ActivityFeed;
class ActivityWindow;
class CTransferProgressDlg;
class QAction;
class QLabel;
class QLineEdit;
class TraceFile;

// Posted by the link's worker when a stored record has changed; the window
// repaints what differs.
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
    // What the PC keyboard presses: the names of the PC keys of each key
    // button, by control id. The application sets it from its accelerator
    // table; the buttons' tooltips and "Keyboard shortcuts..." show it.
    void SetKeyboardShortcuts(const QMap<int, QStringList>& pcKeysByControl);
    void OnKeyboardShortcuts();
    void OnPanelRefresh();
    // A key button's command, from a click or the keyboard: the same path.
    void OnKeyButton(int controlId);
    void StopWorker();
    // Esc must not end the dialog: Exit is the only way out. During a
    // transfer it cancels the transfer.
    void reject() override;
    // Initialises the dialog before its window exists, so that the saved
    // position reaches the window manager as the frame's.
    void setVisible(bool visible) override;

    void LoadSettings();
    void SaveSettings();
    // The folder of the image chosen last, for the file dialogs to open in;
    // empty when none is remembered or it is gone.
    QString ImageFolder() const;
    void RememberImageFolder(const QString& chosenFile);
    // The network control choice kept in the store beside the settings file.
    NetworkControlChoice LoadNetworkControl() const;
    void SaveNetworkControl(const NetworkControlChoice& choice);

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

    // "Network control...": the control server's dialog; the choice is put
    // into effect and remembered beside the other settings.
    void OnNetworkControl();
    // Starts, moves or stops the server as chosen; empty when that worked,
    // else the reason. The choice is remembered only when it worked.
    QString ApplyNetworkControl(const NetworkControlChoice& choice);
    const NetworkControlChoice& NetworkControl() const { return networkControl; }
    const control::RigctlServer& ControlServer() const { return controlServer; }
    // Why the remembered choice could not be put into effect at start, while
    // it still cannot; the dialog opens with it.
    QString NetworkControlFailure() const { return controlServer.Running() ? QString() : networkFailure; }
    // The panel's sign that the control server listens, and where.
    QLabel* NetworkControlSign() const { return networkSign; }

    // The context menu's "Trace serial traffic" item and its handler.
    QAction* TraceAction() const { return traceAction; }
    void OnTraceTraffic(bool on);
    QString TracePath() const;

    // The context menu's "Log activity" item and its handler (remembered in
    // the store beside the settings file), and "Activity..." with its window.
    QAction* LogActivityAction() const { return logActivityAction; }
    void OnLogActivity(bool on);
    void OnActivity();
    // The Activity window, once opened; null before.
    ActivityWindow* ActivityView() const { return activityWindow; }
    ActivityFeed& Activity() { return *activity; }

    RadioLink& Link() { return link; }
    UserPrompts& Prompts() { return *prompts; }
    // The control with that id, or null.
    QWidget* Control(int id) const { return controls.value(id, nullptr); }
    QLineEdit* FrequencyEdit() const { return frequencyEdit; }
    QRect LcdRect() const { return lcdRect; }
    // What the LCD writes across a display that is not current, from the
    // link's state; empty while it is current.
    lcdpaint::LcdMark CurrentMark() const;
    QString ModuleDirectory() const { return moduleDirectory; }
    QString SettingsPath() const;
    // What is remembered beyond the settings file's fixed lines.
    QString StorePath() const;
    bool RememberedLogActivity() const;
    void RememberLogActivity(bool on);
    // The merge gap of hits in ms (the store's Activity/MergeGapMs, else 1000).
    uint32_t RememberedMergeGapMs() const;
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
    bool eventFilter(QObject* watched, QEvent* event) override;

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
    // The status the lamp shows: none while the radio does not answer.
    RadioStatus LampStatus(const RadioStatus& status) const;
    // Send and Recv follow the link, and rest while its port is gone.
    void FollowLinkState();

    std::unique_ptr<UserPrompts> ownPrompts;
    UserPrompts* prompts = nullptr;
    QHash<int, QWidget*> controls;
    QLineEdit* frequencyEdit = nullptr;
    QString aboutMenuText;
    QAction* traceAction = nullptr;
    QAction* logActivityAction = nullptr;
    ActivityWindow* activityWindow = nullptr;
    QMap<int, QStringList> pcKeys;
    CTransferProgressDlg* progressDlg = nullptr;
    bool initialised = false;
    std::atomic<bool> refreshPending{false};
    // What the LCD area and the lamp show, as last painted whole; empty when
    // unknown (never painted, or painted in part). A refresh repaints only
    // what differs from these.
    struct ShownLcd {
        LcdImage lcd;
        lcdpaint::LcdMark mark;
        bool operator==(const ShownLcd& other) const { return lcd == other.lcd && mark == other.mark; }
    };
    std::optional<ShownLcd> shownLcd;
    std::optional<QRgb> shownLamp;
    QFont markFont;

    RadioLink link;
    // After the link, so that it stops serving before the link goes.
    control::LinkAccess controlAccess{link};
    control::RigctlServer controlServer{controlAccess};
    NetworkControlChoice networkControl;
    // The remembered choice, put into effect once the window is set up.
    void RestoreNetworkControl();
    // Why the remembered choice could not be put into effect at start.
    QString networkFailure;
    QLabel* networkSign = nullptr;
    void ShowNetworkControl();

public:
    // True while a transfer may start: the link runs and its port is there.
    bool TransfersPossible() const;
    // Declared after the link, so that they go before the link does.
    ImageTransfer transfer;
    std::unique_ptr<TraceFile> trace;
    std::unique_ptr<ActivityFeed> activity;
    int transferTimerId = 0;
    // The key and tune controls' state when the running transfer took them.
    QHash<int, bool> enabledBeforeTransfer;
};
