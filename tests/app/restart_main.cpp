// One run of the real application under the display and window manager that
// are running, as a user makes it: once the window manager has framed the
// panel and it stands still, Exit is pressed. Prints where the frame and the
// client area stood, for the restart test's script.
//
//   panel_restart <settings folder> [--move X,Y | --exit-at-once]
//
// --move has the window manager put the frame at X,Y first, as a user's drag
// would; --exit-at-once presses Exit as soon as the window shows, before the
// window manager may have told the size of its frame.

#include "testsupport.h"

#include "app/cdemoapp.h"
#include "panel/resourceids.h"

#include <QElapsedTimer>
#include <QPushButton>
#include <QTimer>
#include <QWindow>

#include <cstdio>

int main(int argc, char** argv)
{
    CDemoApp app(argc, argv);
    const QStringList args = QCoreApplication::arguments();
    if (args.size() < 2) {
        std::fprintf(stderr, "usage: panel_restart <settings folder> [--move X,Y | --exit-at-once]\n");
        return 2;
    }
    const bool atOnce = args.size() > 2 && args[2] == QLatin1String("--exit-at-once");
    const QStringList to = args.size() > 3 && args[2] == QLatin1String("--move") ? args[3].split(',') : QStringList();
    bool move = to.size() == 2;
    RecordingPrompts prompts;
    app.SetPanelPrompts(&prompts);
    app.SetSettingsDirectory(args[1]);

    QElapsedTimer clock;
    clock.start();
    QRect last;
    qint64 stillSince = 0;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, [&] {
        CFrontPanelDlg* panel = app.MainWindow();
        if (panel == nullptr || !panel->isVisible()) {
            return;
        }
        const QRect frame = panel->frameGeometry();
        if (!atOnce) {
            if (frame != last) {
                last = frame;
                stillSince = clock.elapsed();
                return;
            }
            // Framed and still for a while, or a window manager that frames nothing.
            if ((frame == panel->geometry() && clock.elapsed() < 3000) || clock.elapsed() - stillSince < 300) {
                return;
            }
            if (move) {
                move = false;
                panel->windowHandle()->setFramePosition(QPoint(to[0].toInt(), to[1].toInt()));
                stillSince = clock.elapsed();
                return;
            }
        }
        const QPoint client = panel->mapToGlobal(QPoint(0, 0));
        std::printf("frame %d,%d client %d,%d\n", frame.left(), frame.top(), client.x(), client.y());
        (void)std::fflush(stdout); // the script reads the line at the end
        poll.stop();
        qobject_cast<QPushButton*>(panel->Control(IDOK))->click();
    });
    poll.start(20);
    app.InitInstance();
    for (const QString& warning : prompts.warnings) {
        std::fprintf(stderr, "warning: %s\n", qPrintable(warning));
    }
    return prompts.warnings.isEmpty() ? 0 : 1;
}
