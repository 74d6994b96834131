// The whole front panel mirroring radiosim offscreen, LCD polls on: how much
// processor the program takes, and how much of it is the window thread.
// Usage: bench_panel [seconds]

#include "cfrontpaneldlg.h"
#include "portname.h"
#include "simprocess.h"

#include <QApplication>
#include <QLineEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTimer>

#include <sys/resource.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>

namespace {

double ThreadCpuSeconds()
{
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

double ProcessCpuSeconds()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    auto seconds = [](const timeval& tv) { return static_cast<double>(tv.tv_sec) + tv.tv_usec / 1e6; };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

} // namespace

int main(int argc, char** argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const int seconds = argc > 1 ? static_cast<int>(std::strtol(argv[1], nullptr, 10)) : 10;

    const std::string link = ExecutableDirectory() + "/ports/COM250";
    std::filesystem::create_directories(ExecutableDirectory() + "/ports");
    SimProcess sim({}, link);
    if (!sim.Started()) {
        std::fprintf(stderr, "radiosim did not start: %s\n", sim.Error().c_str());
        return 1;
    }
    QTemporaryDir settings;
    CFrontPanelDlg dialog(nullptr, settings.path());
    dialog.show();
    dialog.findChild<QLineEdit*>(QStringLiteral("1032"))->setText(QStringLiteral("250"));
    dialog.findChild<QPushButton*>(QStringLiteral("1033"))->click();
    if (!dialog.Link().linkRunning) {
        std::fprintf(stderr, "START failed\n");
        return 1;
    }
    // Let the first replies settle, then measure. (quit() would ask the
    // panel to close, which it refuses: Exit is its only way out.)
    QTimer::singleShot(1000, &app, [] { QCoreApplication::exit(0); });
    app.exec();
    const uint64_t status0 = dialog.Link().statusRepliesStored;
    const uint64_t lcd0 = dialog.Link().lcdRepliesStored;
    const double gui0 = ThreadCpuSeconds();
    const double all0 = ProcessCpuSeconds();
    QTimer::singleShot(seconds * 1000, &app, [] { QCoreApplication::exit(0); });
    app.exec();
    const double gui = ThreadCpuSeconds() - gui0;
    const double all = ProcessCpuSeconds() - all0;
    const double statusRate = static_cast<double>(dialog.Link().statusRepliesStored - status0) / seconds;
    const double lcdRate = static_cast<double>(dialog.Link().lcdRepliesStored - lcd0) / seconds;
    dialog.Link().StopWorker();

    std::printf("front panel mirroring radiosim offscreen for %d s, LCD polls on\n", seconds);
    std::printf("  status replies stored      %8.1f /s\n", statusRate);
    std::printf("  LCD replies stored         %8.1f /s\n", lcdRate);
    std::printf("  window thread processor    %8.2f %% of one core\n", 100.0 * gui / seconds);
    std::printf("  whole program processor    %8.2f %% of one core\n", 100.0 * all / seconds);
    return 0;
}
