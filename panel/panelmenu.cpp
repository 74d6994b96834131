#include "panel/cfrontpaneldlg.h"

#include "panel/activityfeed.h"
#include "panel/activitywindow.h"
#include "panel/caboutdlg.h"
#include "panel/portmapdlg.h"
#include "panel/tracefile.h"

#include <QAction>
#include <QContextMenuEvent>
#include <QFile>
#include <QFileInfo>
#include <QLabel>
#include <QMenu>
#include <QScreen>
#include <QTimer>

#include <functional>
#include <utility>
#include <vector>

// The panel's context menu and the windows it opens: About, the COM map,
// the keyboard shortcuts, network control, the trace and the activity log
// (the sound's dialogs are panelsound.cpp's).

void CFrontPanelDlg::OnSysCommand(int id)
{
    if ((id & 0xFFF0) == IDM_ABOUTBOX) {
        CAboutDlg about(moduleDirectory, this);
        about.exec();
    }
}

void CFrontPanelDlg::contextMenuEvent(QContextMenuEvent* event)
{
    QMenu menu(this);
    // Each item's handler runs once the menu has closed.
    std::vector<std::pair<QAction*, std::function<void()>>> items;
    const auto add = [&](const QString& text, std::function<void()> handler) {
        items.emplace_back(menu.addAction(text), std::move(handler));
    };
    if (!aboutMenuText.isEmpty()) {
        add(aboutMenuText, [this] { OnSysCommand(IDM_ABOUTBOX); });
    }
    add(QStringLiteral("Serial ports..."), [this] { OnSerialPorts(); });
    add(QStringLiteral("Keyboard shortcuts..."), [this] { OnKeyboardShortcuts(); });
    add(QStringLiteral("Network control..."), [this] { OnNetworkControl(); });
    menu.addAction(traceAction);
    menu.addSeparator();
    menu.addAction(logActivityAction);
    add(QStringLiteral("Activity..."), [this] { OnActivity(); });
    add(QStringLiteral("Audio..."), [this] { OnAudio(); });
    add(QStringLiteral("Stream..."), [this] { OnStream(); });
    QAction* chosen = menu.exec(event->globalPos());
    for (const auto& [action, handler] : items) {
        if (chosen != nullptr && chosen == action) {
            handler();
        }
    }
}

void CFrontPanelDlg::SetKeyboardShortcuts(const QMap<int, QStringList>& pcKeysByControl)
{
    pcKeys = pcKeysByControl;
    for (const KeyButton& key : keyButtons) {
        const QStringList names = pcKeys.value(key.controlId);
        QString tip;
        if (names.isEmpty()) {
            tip = QStringLiteral("No PC key");
        } else {
            tip = (names.size() == 1 ? QStringLiteral("PC key: ") : QStringLiteral("PC keys: ")) +
                  names.join(QStringLiteral(" or "));
        }
        if (QWidget* button = Control(key.controlId)) {
            button->setToolTip(tip);
        }
    }
}

void CFrontPanelDlg::OnKeyboardShortcuts()
{
    QString rows;
    for (std::size_t i = 0; i < keyButtons.size(); ++i) {
        const QStringList names = pcKeys.value(keyButtons[i].controlId);
        if (!names.isEmpty()) {
            rows += QStringLiteral("<tr><td><b>%1</b></td><td>&nbsp;&nbsp;%2</td></tr>")
                        .arg(QString::fromLatin1(keyTable[i].caption)
                                 .toHtmlEscaped(),
                             names.join(QStringLiteral(" or ")).toHtmlEscaped());
        }
    }
    if (rows.isEmpty()) {
        prompts->Inform(QStringLiteral("No PC keys press the radio's keys."));
        return;
    }
    prompts->Inform(QStringLiteral("While the link runs, these PC keys press the radio's keys, except while "
                                   "the frequency box has the focus (there they edit the frequency, and Enter "
                                   "tunes). Shift, Ctrl and Alt must be up."),
                    QStringLiteral("<table><tr><th align=left>Radio</th><th align=left>&nbsp;&nbsp;PC</th></tr>") +
                        rows + QStringLiteral("</table>"));
}

void CFrontPanelDlg::OnSerialPorts()
{
    PortMapDialog dialog(portMapRoots, *prompts, this);
    dialog.exec();
}

void CFrontPanelDlg::OnNetworkControl()
{
    NetworkControlDialog dialog(networkControl, station.ControlServer(),
                                [this](const NetworkControlChoice& choice) { return ApplyNetworkControl(choice); },
                                this, NetworkControlFailure());
    dialog.exec();
}

QString CFrontPanelDlg::ApplyNetworkControl(const NetworkControlChoice& choice)
{
    // Unchanged, it goes on serving: the programs connected stay so.
    const bool same = station.ControlServer().Running() && choice == networkControl;
    std::string error;
    if (!choice.on) {
        station.StopControl();
    } else if (!same && !station.StartControl(ServerSettingsOf(choice), error)) {
        // What was chosen before stays, serving again where it did, and the
        // user hears why the new choice failed.
        std::string ignored;
        if (networkControl.on) {
            (void)station.StartControl(ServerSettingsOf(networkControl), ignored);
        }
        ShowNetworkControl();
        return QString::fromStdString(error);
    }
    networkControl = choice;
    networkFailure.clear();
    store.RememberNetworkControl(choice);
    ShowNetworkControl();
    return {};
}

void CFrontPanelDlg::ShowNetworkControl()
{
    const bool on = station.ControlServer().Running();
    networkSign->setText(on ? QStringLiteral("Network control on\n%1").arg(QString::fromStdString(station.ControlServer().Endpoint()))
                            : QString());
    networkSign->setVisible(on);
}

void CFrontPanelDlg::OnTraceTraffic(bool on)
{
    if (!on) {
        trace->SwitchOff();
        return;
    }
    const QString refused = trace->SwitchOn(TracePath());
    if (!refused.isEmpty()) {
        traceAction->setChecked(false);
        prompts->Warn(refused);
        return;
    }
    prompts->Inform(QStringLiteral("Serial traffic is added to the end of this file until you untick "
                                   "\"Trace serial traffic\":"),
                    TracePath());
}

void CFrontPanelDlg::OnLogActivity(bool on)
{
    activity->SetLogging(on);
    logActivityAction->setChecked(activity->Logging());
    store.RememberLogActivity(activity->Logging());
}

void CFrontPanelDlg::OnActivity()
{
    if (activityWindow == nullptr) {
        activityWindow = new ActivityWindow(activity->Directory(), this);
        activityWindow->SetRecordingFolder(QFile::decodeName(audioChoice.Folder().c_str()));
        // Beside the panel where the screen has room, so that both are seen;
        // else where the window manager puts it.
        const QRect frame = frameGeometry();
        const QRect beside(frame.right() + 8, frame.top(), activityWindow->width(), activityWindow->height());
        if (screen() != nullptr && screen()->availableGeometry().contains(beside)) {
            activityWindow->move(beside.topLeft());
        }
    }
    activityWindow->show();
    activityWindow->raise();
    activityWindow->activateWindow();
}

QString CFrontPanelDlg::TracePath() const
{
    // In full, since the user is told where it is.
    return QFileInfo(moduleDirectory + QStringLiteral("/Ostrelle.trace")).absoluteFilePath();
}

void CFrontPanelDlg::RestoreNetworkControl()
{
    networkControl = store.NetworkControl();
    std::string error;
    if (!networkControl.on || station.StartControl(ServerSettingsOf(networkControl), error)) {
        return;
    }
    // Said once the panel is on the screen, not before it. The choice stays
    // as it was, in the dialog and in the store, so that OK there or the next
    // start tries again.
    const QString reason = QString::fromStdString(error);
    networkFailure = reason;
    QTimer::singleShot(0, this, [this, reason] {
        prompts->Warn(QStringLiteral("Network control could not start."),
                      reason + QStringLiteral("\n\nRight-click the panel and choose Network control... to "
                                              "choose another port or switch it off."));
    });
}
