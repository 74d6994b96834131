// Renders the whole front panel window offscreen into a PNG, its LCD and
// status fields mirroring a sample radio display, as the user sees it.
//
//   panel_dialog_screenshot <output.png>
//
// QT_SCALE_FACTOR scales the window as it would on a high-density screen.

#include "panel/cfrontpaneldlg.h"
#include "sampleradio.h"

#include <QApplication>
#include <QPixmap>
#include <QTemporaryDir>

#include <cstdio>
#include <cstring>

int main(int argc, char** argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    QApplication app(argc, argv);
    if (argc != 2) {
        std::fprintf(stderr, "usage: panel_dialog_screenshot <output.png>\n");
        return 2;
    }
    // The settings file goes to a scratch directory, not beside the program.
    QTemporaryDir settings;
    if (!settings.isValid()) {
        std::fprintf(stderr, "panel_dialog_screenshot: no temporary directory\n");
        return 1;
    }
    CFrontPanelDlg dialog(nullptr, settings.path());

    // The records filled as the poll worker fills them from the replies.
    const LcdImage lcd = sampleradio::Display();
    uint8_t lcdReply[70] = {0x02, 0x4C};
    for (int k = 0; k < 4; ++k) {
        std::memcpy(lcdReply + 2 + 16 * k, lcd.rows[k], 16);
    }
    lcdReply[66] = lcd.iconFlagsA;
    lcdReply[67] = lcd.iconFlagsB;
    dialog.Link().StoreLcdReply(lcdReply);
    uint8_t statusReply[20] = {0x02, 0x41};
    std::memcpy(statusReply + 2, sampleradio::Status().block, 16);
    dialog.Link().StoreStatusReply(statusReply);

    dialog.show();
    QApplication::processEvents();
    // The first paint sets the status fields; the second shows them.
    const QPixmap first = dialog.grab();
    QApplication::processEvents();
    const QPixmap picture = dialog.grab();
    if (first.isNull() || !picture.save(QString::fromLocal8Bit(argv[1]), "PNG")) {
        std::fprintf(stderr, "panel_dialog_screenshot: cannot write %s\n", argv[1]);
        return 1;
    }
    return 0;
}
