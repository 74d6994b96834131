#include "cdemoapp.h"

#include "cfrontpaneldlg.h"
#include "sessionend.h"

CDemoApp::CDemoApp(int& argc, char** argv) : QApplication(argc, argv) {}

bool CDemoApp::InitInstance()
{
    accelTable = keypadAccel;

    CFrontPanelDlg panel(panelPrompts, settingsDirectory);
    mainWindow = &panel;
    KeypadFilter filter(panel, accelTable);
    installEventFilter(&filter);
    SessionEnd sessionEnd(panel);

    panel.exec();

    removeEventFilter(&filter);
    mainWindow = nullptr;
    return false;
}
