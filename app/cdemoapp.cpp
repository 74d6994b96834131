#include "cdemoapp.h"

#include "cfrontpaneldlg.h"

CDemoApp::CDemoApp(int& argc, char** argv) : QApplication(argc, argv) {}

bool CDemoApp::InitInstance()
{
    accelTable = keypadAccel;

    CFrontPanelDlg panel(panelPrompts, settingsDirectory);
    mainWindow = &panel;
    panel.SetKeyboardShortcuts(PcKeyNames(accelTable));
    KeypadFilter filter(panel, accelTable);
    installEventFilter(&filter);

    panel.exec();

    removeEventFilter(&filter);
    mainWindow = nullptr;
    return false;
}
