// Drives an installed front panel from inside its own process, the way a
// user would click it: START on a COM port, one key, STOP, Exit. Loaded with
// LD_PRELOAD into the unchanged program, offscreen; it finds the controls by
// their ids and clicks them, so nothing of the driver is in the package.
//
//   OSTRELLE_DRIVER_COM   the COM number to start on; unset: only Exit, as a
//                         user does who opens the program and leaves it
//
// Prints one line per step to standard error. Any failure, a message box
// the panel shows, or 30 s without getting through ends the process with
// status 3 and says why.

#include <QApplication>
#include <QCoreApplication>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>
#include <QWidget>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <vector>

namespace {

constexpr int kPatienceMs = 30000;
constexpr int kLookEveryMs = 50;

[[noreturn]] void Fail(const QString& why)
{
    std::fprintf(stderr, "paneldriver: %s\n", qPrintable(why));
    (void)std::fflush(stderr); // nothing is left to tell when the last message fails
    std::_Exit(3);
}

QWidget* Panel()
{
    for (QWidget* widget : QApplication::topLevelWidgets()) {
        if (widget->objectName() == QStringLiteral("102") && widget->isVisible()) {
            return widget;
        }
    }
    return nullptr;
}

template <typename T>
T* Control(const char* id)
{
    QWidget* panel = Panel();
    T* control = panel != nullptr ? panel->findChild<T*>(QString::fromLatin1(id)) : nullptr;
    if (control == nullptr) {
        Fail(QStringLiteral("the panel has no control %1").arg(QString::fromLatin1(id)));
    }
    return control;
}

struct Step {
    const char* name;
    std::function<bool()> ready; // looked at until true
    std::function<void()> act;   // then done once
};

class Driver : public QObject {
public:
    Driver()
    {
        const QString number = QString::fromLatin1(qgetenv("OSTRELLE_DRIVER_COM"));
        if (number.isEmpty()) {
            steps = {{"the panel is shown", [] { return Panel() != nullptr; },
                      [] { Control<QPushButton>("1")->click(); }}};
        } else {
            steps = SessionSteps(number);
        }
        timer.callOnTimeout(this, [this] { Look(); });
        timer.start(kLookEveryMs);
        QTimer::singleShot(kPatienceMs, this, [this] {
            Fail(QStringLiteral("no progress for %1 s at: %2")
                     .arg(kPatienceMs / 1000)
                     .arg(QString::fromLatin1(steps[std::min(next, steps.size() - 1)].name)));
        });
    }

private:
    std::vector<Step> SessionSteps(const QString& number)
    {
        return {
            {"the panel is shown", [] { return Panel() != nullptr; },
             [number] {
                 Control<QLineEdit>("1032")->setText(number);
                 Control<QPushButton>("1033")->click();
             }},
            {"START mirrors the radio",
             [] {
                 return Control<QPushButton>("1033")->text() == QStringLiteral("STOP") &&
                        !Control<QLabel>("1052")->text().isEmpty();
             },
             [] { Control<QPushButton>("1006")->click(); }},
            // The key frame is written at once; a few polls later STOP.
            {"SCAN is pressed", [this] { return ++polls > 10; }, [] { Control<QPushButton>("1033")->click(); }},
            {"STOP ends the link", [] { return Control<QPushButton>("1033")->text() == QStringLiteral("START"); },
             [] { Control<QPushButton>("1")->click(); }},
        };
    }

    void Look()
    {
        // A message box means the panel met a failure a user would see.
        if (QWidget* modal = QApplication::activeModalWidget(); modal != nullptr && modal != Panel()) {
            QStringList texts;
            for (const QLabel* label : modal->findChildren<QLabel*>()) {
                texts << label->text();
            }
            Fail(QStringLiteral("the panel shows \"%1\"").arg(texts.join(QStringLiteral(" / "))));
        }
        if (next >= steps.size() || !steps[next].ready()) {
            return;
        }
        std::fprintf(stderr, "paneldriver: %s\n", steps[next].name);
        steps[next].act();
        ++next;
    }

    std::vector<Step> steps;
    size_t next = 0;
    int polls = 0;
    QTimer timer;
};

void StartDriver()
{
    // The application object is still being built here; the driver starts
    // with its event loop.
    QTimer::singleShot(0, [] { new Driver; });
}

} // namespace

Q_COREAPP_STARTUP_FUNCTION(StartDriver)
