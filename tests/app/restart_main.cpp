// One run of the real application under the display and window manager that
// are running, as a user makes it: waits until the window manager has framed
// the panel and it stands still, then presses Exit. It prints where the frame
// and the client area stood, for the restart test's script to compare.
//
//   panel_restart <settings folder> [--move X,Y | --exit-at-once]
//
// --move asks the window manager to put the frame at X,Y before Exit, as a
// user's drag would; --exit-at-once presses Exit as soon as the window is
// shown, before the window manager may have told its frame.

#include "cdemoapp.h"
#include "cfrontpaneldlg.h"
#include "resourceids.h"

#include <QElapsedTimer>
#include <QPushButton>
#include <QStringList>
#include <QTimer>
#include <QWindow>

#include <cstdio>
#include <cstring>

namespace {

class PrintedPrompts : public UserPrompts {
public:
    void Warn(const QString& text, const QString& informative) override
    {
        std::fprintf(stderr, "warning: %s %s\n", qPrintable(text), qPrintable(informative));
        ++warnings;
    }
    QString OpenFileName(const QString&, const QString&, const QString&, const QString&) override { return {}; }
    QString SaveFileName(const QString&, const QString&, const QString&, const QString&) override { return {}; }
    int warnings = 0;
};

} // namespace

int main(int argc, char** argv)
{
    CDemoApp app(argc, argv);
    if (argc < 2) {
        std::fprintf(stderr, "usage: panel_restart <settings folder> [--move X,Y | --exit-at-once]\n");
        return 2;
    }
    const bool atOnce = argc > 2 && std::strcmp(argv[2], "--exit-at-once") == 0;
    QPoint moveTo;
    bool move = false;
    if (argc > 3 && std::strcmp(argv[2], "--move") == 0) {
        const QStringList parts = QString::fromLatin1(argv[3]).split(QLatin1Char(','));
        bool xOk = false;
        bool yOk = false;
        if (parts.size() == 2) {
            moveTo = QPoint(parts[0].toInt(&xOk), parts[1].toInt(&yOk));
        }
        move = xOk && yOk;
    }
    PrintedPrompts prompts;
    app.SetPanelPrompts(&prompts);
    app.SetSettingsDirectory(QString::fromLocal8Bit(argv[1]));

    QElapsedTimer clock;
    clock.start();
    QRect last;
    qint64 stillSince = 0;
    bool moved = false;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, [&] {
        CFrontPanelDlg* panel = app.MainWindow();
        if (panel == nullptr || !panel->isVisible()) {
            return;
        }
        const auto exit = [&] {
            const QRect frame = panel->frameGeometry();
            const QPoint client = panel->mapToGlobal(QPoint(0, 0));
            std::printf("frame %d,%d client %d,%d\n", frame.left(), frame.top(), client.x(), client.y());
            (void)std::fflush(stdout); // the script reads the line at the end
            poll.stop();
            qobject_cast<QPushButton*>(panel->Control(IDOK))->click();
        };
        if (atOnce) {
            exit();
            return;
        }
        const QRect frame = panel->frameGeometry();
        if (frame != last) {
            last = frame;
            stillSince = clock.elapsed();
            return;
        }
        const bool framed = frame != panel->geometry();
        // Framed and still for a while, or a window manager that frames nothing.
        if ((!framed && clock.elapsed() < 3000) || clock.elapsed() - stillSince < 300) {
            return;
        }
        if (move && !moved) {
            moved = true;
            panel->windowHandle()->setFramePosition(moveTo);
            stillSince = clock.elapsed();
            return;
        }
        exit();
    });
    poll.start(20);
    app.InitInstance();
    return prompts.warnings == 0 ? 0 : 1;
}
