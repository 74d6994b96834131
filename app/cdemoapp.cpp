#include "app/cdemoapp.h"

#include "panel/cfrontpaneldlg.h"
#include "app/sessionend.h"

#include <csignal>

CDemoApp::CDemoApp(int& argc, char** argv) : QApplication(argc, argv)
{
#ifdef SIGPIPE
    // A receive prints its running total on standard output. When that is a
    // pipe whose reader has gone (the program piped into a pager that was
    // quit), the write must fail and be passed over, not end the program in
    // the middle of a transfer with nothing saved.
    (void)std::signal(SIGPIPE, SIG_IGN);
#endif
}

bool CDemoApp::InitInstance()
{
    accelTable = keypadAccel;

    CFrontPanelDlg panel(panelPrompts, settingsDirectory);
    mainWindow = &panel;
    panel.SetKeyboardShortcuts(PcKeyNames(accelTable));
    KeypadFilter filter(panel, accelTable);
    installEventFilter(&filter);
    SessionEnd sessionEnd(panel);

    panel.exec();

    removeEventFilter(&filter);
    mainWindow = nullptr;
    return false;
}
