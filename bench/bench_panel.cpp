// The whole front panel mirroring radiosim offscreen, LCD polls on: how much
// processor the program takes, and how much of it is the window thread.
// Usage: bench_panel [seconds] [direct|rfc2217|tcp]
// rfc2217 and tcp reach radiosim through ser2net on loopback, as a radio on
// another machine, named by an endpoint file as ports/COM250.
// bench_panel xcb [seconds] [runs] runs the program on a real X server
// instead (bench_panel_x.cpp).

#include "cfrontpaneldlg.h"
#include "keptfiles.h"
#include "simroute.h"

#include <QApplication>
#include <QLineEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTimer>

#include <sys/resource.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <cstring>
#include <filesystem>
#include <fstream>

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

int RunOnXServer(int argc, char** argv);

int main(int argc, char** argv)
{
    if (argc > 1 && std::strcmp(argv[1], "xcb") == 0) {
        return RunOnXServer(argc, argv);
    }
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const int seconds = argc > 1 ? static_cast<int>(std::strtol(argv[1], nullptr, 10)) : 10;

    const char* const way = argc > 2 ? argv[2] : "direct";
    const Route route = std::strcmp(way, "rfc2217") == 0 ? Route::Rfc2217
                        : std::strcmp(way, "tcp") == 0   ? Route::RawTcp
                                                         : Route::Direct;
    const std::string link = KeptFilesDirectory() + "/ports/COM250";
    std::filesystem::create_directories(KeptFilesDirectory() + "/ports");
    // Served over the network, radiosim keeps its link elsewhere and COM250
    // becomes the endpoint file.
    SimProcess sim({}, route == Route::Direct ? link : std::string());
    if (!sim.Started()) {
        std::fprintf(stderr, "radiosim did not start: %s\n", sim.Error().c_str());
        return 1;
    }
    const SimRoute served(sim, route);
    if (!served.Ok()) {
        std::fprintf(stderr, "ser2net did not start: %s\n", served.Error().c_str());
        return 1;
    }
    if (route != Route::Direct) {
        std::ofstream(link) << served.Server()->EndpointLine() << "\n";
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
    if (route != Route::Direct) {
        std::filesystem::remove(link);
    }

    std::printf("front panel mirroring radiosim offscreen (%s) for %d s, LCD polls on\n", way, seconds);
    std::printf("  status replies stored      %8.1f /s\n", statusRate);
    std::printf("  LCD replies stored         %8.1f /s\n", lcdRate);
    std::printf("  window thread processor    %8.2f %% of one core\n", 100.0 * gui / seconds);
    std::printf("  whole program processor    %8.2f %% of one core\n", 100.0 * all / seconds);
    return 0;
}
