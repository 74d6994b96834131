#pragma once

#include "app/keypadfilter.h"

#include <QApplication>
#include <QString>

#include <span>

class CFrontPanelDlg;
class UserPrompts;

// The application: runs the front panel modally with the keypad filter, and
// ends when the panel ends.
class CDemoApp : public QApplication {
    Q_OBJECT
public:
    CDemoApp(int& argc, char** argv);

    // Runs the whole program; returns false, as there is no message loop of
    // the application's own to run after the panel.
    bool InitInstance();

    // The panel while InitInstance runs it, else null.
    CFrontPanelDlg* MainWindow() const { return mainWindow; }

    // For tests: prompts and settings directory handed to the panel.
    void SetPanelPrompts(UserPrompts* prompts) { panelPrompts = prompts; }
    void SetSettingsDirectory(const QString& directory) { settingsDirectory = directory; }

    std::span<const AccelEntry> accelTable;

private:
    CFrontPanelDlg* mainWindow = nullptr;
    UserPrompts* panelPrompts = nullptr;
    QString settingsDirectory;
};
