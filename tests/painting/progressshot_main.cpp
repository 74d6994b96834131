// Renders the transfer progress window offscreen into a PNG, part of the way
// through a send, as the user sees it.
//
//   panel_progress_screenshot <output.png>

#include "panel/transferprogressdlg.h"

#include <QApplication>
#include <QPixmap>

#include <chrono>
#include <cstdio>
#include <thread>

int main(int argc, char** argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Ostrelle"));
    if (argc != 2) {
        std::fprintf(stderr, "usage: panel_progress_screenshot <output.png>\n");
        return 2;
    }
    CTransferProgressDlg window(nullptr);
    ImageTransfer::Progress progress;
    progress.kind = TransferKind::Send;
    progress.recordsTotal = 200;
    window.Begin(progress, QStringLiteral("/home/user/scanner-2026-12.bin"));
    // Far enough in for the rate to mean something: about the line's pace.
    std::this_thread::sleep_for(std::chrono::milliseconds(2000));
    progress.recordsSent = 63;
    window.Update(progress);
    QApplication::processEvents();
    const QPixmap picture = window.grab();
    if (picture.isNull() || !picture.save(QString::fromLocal8Bit(argv[1]), "PNG")) {
        std::fprintf(stderr, "panel_progress_screenshot: cannot write %s\n", argv[1]);
        return 1;
    }
    return 0;
}
