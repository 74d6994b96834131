#pragma once

#include "panel/audiochoice.h"
#include "panel/lcdpainter.h"
#include "panel/networkcontroldlg.h"
#include "panel/panelcontrols.h"
#include "panel/panelsettings.h"
#include "panel/statuspainter.h"
#include "panel/streamchoice.h"
#include "panel/transfercontroller.h"
#include "panel/versionblock.h"
#include "panel/userprompts.h"
#include "serial/portmap.h"
#include "station/station.h"

#include <QDialog>
#include <QFont>
#include <QHash>
#include <QIcon>
#include <QMap>
#include <QRect>
#include <QString>
#include <QStringList>

#include <atomic>
#include <memory>
#include <optional>

class ActivityFeed;
class ActivityWindow;
class CTransferProgressDlg;
class QAction;
class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class TraceFile;

// Posted by the link's worker when a stored record has changed; the window
// repaints what differs.
inline constexpr int WM_PANEL_REFRESH = 1125;
// Posted by the sound parts' threads when they have something to say.
inline constexpr int WM_SOUND_CHANGED = 1126;

// The front panel: the radio's face with its keypad, the link and transfer
// buttons, the tune box and the status fields, over the one Station that
// holds the link (the port, the flags, the records and the worker), the
// transfer, the control server, the trace and the hit recorder. Its rooms: the
// layout (panellayout.cpp), the painting (panelpaint.cpp), the menu and its
// dialogs (panelmenu.cpp), the transfers (TransferController) and what is
// remembered (PanelSettings, PanelStore).
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
    // The dialog's fields, as the controls last gave them.
    const PanelSettings& Settings() const { return fields; }
    // Replaces the fields without touching the controls (UpdateData(false)
    // moves them there).
    void SetSettings(const PanelSettings& values) { fields = values; }
    // What is remembered beyond the settings file's fixed lines.
    const PanelStore& Store() const { return store; }

    // Image transfers.
    void OnSendImage() { transfers.OnSendImage(); }
    void OnReceiveImage() { transfers.OnReceiveImage(); }
    void OnTimer(int timerId) { transfers.OnTimer(timerId); }
    // The progress window's Cancel: the transfer ends, the link runs on
    // (polling back at once, unless `resumePolling` is false: Exit).
    void OnCancelTransfer(bool resumePolling = true) { transfers.OnCancelTransfer(resumePolling); }
    // The progress window of the transfers, made on first use.
    CTransferProgressDlg& ProgressWindow() { return transfers.ProgressWindow(); }
    ImageTransfer& Transfer() { return station.Transfer(); }
    // The running transfer's timer; 0 while none runs.
    int TransferTimerId() const { return transfers.TimerId(); }
    // True while a transfer may start: the link runs and its port is there.
    bool TransfersPossible() const;

    // "Network control...": the control server's dialog; the choice is put
    // into effect and remembered beside the other settings.
    void OnNetworkControl();
    // Starts, moves or stops the server as chosen; empty when that worked,
    // else the reason. The choice is remembered only when it worked.
    QString ApplyNetworkControl(const NetworkControlChoice& choice);
    const NetworkControlChoice& NetworkControl() const { return networkControl; }
    const control::RigctlServer& ControlServer() const { return station.ControlServer(); }
    // Why the remembered choice could not be put into effect at start, while
    // it still cannot; the dialog opens with it.
    QString NetworkControlFailure() const { return ControlServer().Running() ? QString() : networkFailure; }
    // The panel's sign that the control server listens, and where.
    QLabel* NetworkControlSign() const { return networkSign; }

    // "Audio..." and "Stream...": what the station hears, recorded per hit
    // and streamed; a choice made there is put into effect and kept in the
    // store (the one the store held is put into effect at start).
    void OnAudio();
    void OnStream();
    void ApplyAudio(const AudioChoice& choice);
    // Empty when the stream runs as chosen (or is off), else why not; the
    // choice stands only when it worked.
    QString ApplyStream(const StreamChoice& choice);
    const AudioChoice& Audio() const { return audioChoice; }
    const StreamChoice& Stream() const { return streamChoice; }
    // What is heard, while recording or streaming wants it; null otherwise.
    const AudioCapture* SoundInput() const { return station.Capture(); }
    // The panel's sign that recording or streaming is on, and how it goes.
    QLabel* SoundSign() const { return soundSign; }

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

    RadioLink& Link() { return station.Link(); }
    const RadioLink& Link() const { return station.Link(); }
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
    // The text of the About item of the panel's menu; empty when there is none.
    QString AboutMenuText() const { return aboutMenuText; }
    // Where the COM map is read and written; a test points it at a fake tree.
    void SetPortMapRoots(const PortMapRoots& roots) { portMapRoots = roots; }

protected:
    bool event(QEvent* event) override;
    void paintEvent(QPaintEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void CreateControls();
    void ConnectControls();
    // Validating, for a command: the enabled controls, up to the first that
    // is refused. Otherwise, for Exit: every control that holds a good value.
    bool ReadControls(bool validate);
    void SetLinkControls(bool running);
    void SetControlText(ControlId id, const QString& text);
    void SetControlEnabled(int id, bool enabled);
    void SetControlEnabled(ControlId id, bool enabled) { SetControlEnabled(Id(id), enabled); }
    void ApplyStatusView(const statuspaint::StatusView& view);
    void PostRefresh();
    // The status the lamp shows: none while the radio does not answer.
    RadioStatus LampStatus(const RadioStatus& status) const;
    // Send and Recv follow the link, and rest while its port is gone.
    void FollowLinkState();
    // The remembered choice, put into effect once the window is set up.
    void RestoreNetworkControl();
    void ShowNetworkControl();
    // The remembered sound choices, put into effect once the window is set up.
    void RestoreSound();
    // Listening while recording or streaming wants it, from the chosen input.
    void FollowSoundInput(bool inputChanged);
    void PostSoundChanged();
    void OnSoundChanged();
    QString SoundSignText() const;
    void ShowSound();

    std::unique_ptr<UserPrompts> ownPrompts;
    UserPrompts* prompts = nullptr;
    // Every control with an id, for Control(); the typed members below are
    // the ones the dialog itself works with.
    QHash<int, QWidget*> controls;
    QLabel* lcdFrame = nullptr;
    QLineEdit* portEdit = nullptr;
    QLineEdit* frequencyEdit = nullptr;
    QComboBox* modulationBox = nullptr;
    QCheckBox* pollsCheck = nullptr;
    QString aboutMenuText;
    QAction* traceAction = nullptr;
    QAction* logActivityAction = nullptr;
    ActivityWindow* activityWindow = nullptr;
    QMap<int, QStringList> pcKeys;
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

    PanelSettings fields;
    PortMapRoots portMapRoots = SystemPortMapRoots();
    QIcon appIcon;
    QString moduleDirectory;
    PanelStore store;
    QRect lcdRect;
    QFont lcdFont;
    FileVersion version;

    // Before the rooms below, which reach the radio through it and so must
    // go first.
    Station station;
    NetworkControlChoice networkControl;
    // Why the remembered choice could not be put into effect at start.
    QString networkFailure;
    QLabel* networkSign = nullptr;
    TransferController transfers{*this, station};
    AudioChoice audioChoice;
    StreamChoice streamChoice;
    QLabel* soundSign = nullptr;
    std::atomic<bool> soundPending{false};
    QStringList soundNotices; // the latest few, for the sign's tooltip
    bool recordingHaltSaid = false;
    bool streamRefusalSaid = false;
    std::unique_ptr<TraceFile> trace;
    std::unique_ptr<ActivityFeed> activity;
};
