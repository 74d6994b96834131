#include "app/sessionend.h"

#include "panel/cfrontpaneldlg.h"
#include "panel/eventhandoff.h"

#include <QCoreApplication>
#include <QEvent>
#include <QGuiApplication>
#include <QSocketNotifier>
#if QT_CONFIG(sessionmanager)
#include <QSessionManager>
#endif

#if !defined(_WIN32)
#include <cerrno>
#include <csignal>

#include <fcntl.h>
#include <unistd.h>
#endif

namespace {

#if !defined(_WIN32)
// A signal handler may do next to nothing; it hands the signal over to the
// event loop through a pipe, whose other end the window thread watches.
int signalPipe[2] = {-1, -1};
struct sigaction previousTerm {};
struct sigaction previousHangUp {};

void OnSignal(int)
{
    const int saved = errno;
    const char byte = 1;
    (void)!::write(signalPipe[1], &byte, 1);
    errno = saved;
}
#endif

} // namespace

SessionEnd::SessionEnd(CFrontPanelDlg& panel, QObject* parent) : QObject(parent), panel(panel)
{
#if QT_CONFIG(sessionmanager)
    if (auto* app = qobject_cast<QGuiApplication*>(QCoreApplication::instance())) {
        connect(app, &QGuiApplication::commitDataRequest, this, [this](QSessionManager&) { this->panel.OnSessionEnd(); });
    }
#endif
    // The session manager's last word arrives as a Quit event for the
    // application, which the panel, refusing to be closed, would refuse.
    QCoreApplication::instance()->installEventFilter(this);

#if !defined(_WIN32)
    if (::pipe2(signalPipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        return; // the signals then end the program as they always did
    }
    signalNotifier = new QSocketNotifier(signalPipe[0], QSocketNotifier::Read, this);
    connect(signalNotifier, &QSocketNotifier::activated, this, [this] {
        char bytes[16];
        while (::read(signalPipe[0], bytes, sizeof bytes) > 0) {
        }
        this->panel.OnSessionEnd();
    });
    struct sigaction action {};
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    (void)::sigaction(SIGTERM, &action, &previousTerm);
    (void)::sigaction(SIGHUP, &action, &previousHangUp);
#endif
}

SessionEnd::~SessionEnd()
{
    QCoreApplication::instance()->removeEventFilter(this);
#if !defined(_WIN32)
    if (signalNotifier != nullptr) {
        (void)::sigaction(SIGTERM, &previousTerm, nullptr);
        (void)::sigaction(SIGHUP, &previousHangUp, nullptr);
        delete signalNotifier;
        ::close(signalPipe[0]);
        ::close(signalPipe[1]);
        signalPipe[0] = signalPipe[1] = -1;
    }
#endif
}

bool SessionEnd::eventFilter(QObject* watched, QEvent* event)
{
    MarkTakenOver(event);
    if (watched == QCoreApplication::instance() && event->type() == QEvent::Quit && panel.isVisible()) {
        panel.OnSessionEnd();
        return true;
    }
    return QObject::eventFilter(watched, event);
}
