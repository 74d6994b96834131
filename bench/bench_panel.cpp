// The whole front panel mirroring radiosim offscreen, LCD polls on: how much
// processor the program takes, and how much of it is the window thread.
// Usage: bench_panel [seconds] [direct|rfc2217|tcp]
// rfc2217 and tcp reach radiosim through ser2net on loopback, as a radio on
// another machine, named by an endpoint file as ports/COM250.
// bench_panel xcb [seconds] [runs] [activity] runs the program on a real X
// server instead (bench_panel_x.cpp); with activity, under busy traffic with
// the activity log on and off.
// bench_panel activity-window [rows] [times]: how long the Activity window
// takes to open on a day of that many hits (100 000), first paint included
// (offscreen, or the platform QT_QPA_PLATFORM names).

#include "activity/activitycsv.h"
#include "benchsupport.h"
#include "panel/activitywindow.h"
#include "panel/cfrontpaneldlg.h"
#include "serial/keptfiles.h"
#include "simroute.h"

#include <QApplication>
#include <QDate>
#include <QElapsedTimer>
#include <QTableView>
#include <QLineEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTimer>

#include <sys/resource.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <algorithm>
#include <filesystem>
#include <fstream>
#include <random>
#include <vector>

namespace {

// Today's file with `rows` hits spread over the day on a few hundred
// frequencies, as a scanner left running for weeks would write it.
std::string WriteBusyDay(const std::string& directory, int rows)
{
    const QDate today = QDate::currentDate();
    const QDateTime midnight = today.startOfDay();
    const int32_t offset = midnight.offsetFromUtc() / 60;
    std::mt19937 rng(7); // NOLINT(cert-msc32-c,cert-msc51-cpp): the same day every run
    std::uniform_int_distribution<int> channel(0, 299);
    std::uniform_int_distribution<int> length(300, 20000);
    std::uniform_int_distribution<int> level(200, 900);
    std::string path = directory + "/" + ActivityFileName({today.year(), today.month(), today.day()});
    std::ofstream out(path, std::ios::binary);
    out << ACTIVITY_CSV_HEADER << "\r\n";
    for (int i = 0; i < rows; ++i) {
        Hit hit;
        hit.startMs = midnight.toMSecsSinceEpoch() + static_cast<int64_t>(i) * (86000000 / rows);
        hit.utcOffsetMinutes = offset;
        hit.durationMs = static_cast<uint32_t>(length(rng));
        const int c = channel(rng);
        hit.frequencyHz = 118000000u + static_cast<uint32_t>(c) * 1012500u;
        hit.modulation = c % 5 == 0 ? "AM" : "NFM";
        hit.mode = "SCAN";
        char display[96] = {};
        (void)std::snprintf(display, sizeof display, "SCAN  CH %03d | %4u.%04u MHz | CHANNEL %03d | MOD  STEP  INFO",
                            c + 1, hit.frequencyHz / 1000000, hit.frequencyHz % 1000000 / 100, c + 1);
        hit.display = display;
        hit.rssiMax = static_cast<uint16_t>(level(rng));
        hit.rssiMean = static_cast<uint16_t>(hit.rssiMax * 4 / 5);
        out << HitCsvRow(hit) << "\r\n";
    }
    return path;
}

double Median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

int OpenActivityWindow(int argc, char** argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    QApplication app(argc, argv);
    const int rows = argc > 2 ? static_cast<int>(std::strtol(argv[2], nullptr, 10)) : 100000;
    const int times = argc > 3 ? static_cast<int>(std::strtol(argv[3], nullptr, 10)) : 5;
    QTemporaryDir folder;
    const std::string path = WriteBusyDay(folder.path().toStdString(), rows);
    std::vector<double> open;
    std::vector<double> sorted;
    std::vector<double> filtered;
    for (int i = 0; i < times; ++i) {
        QElapsedTimer clock;
        clock.start();
        ActivityWindow window(folder.path());
        window.show();
        window.Table()->viewport()->repaint();
        QCoreApplication::processEvents();
        open.push_back(static_cast<double>(clock.nsecsElapsed()) / 1e6);
        if (window.Model().rowCount() != rows) {
            std::fprintf(stderr, "the window shows %d rows, not %d\n", window.Model().rowCount(), rows);
            return 1;
        }
        clock.restart();
        window.Table()->sortByColumn(ActivityTableModel::Frequency, Qt::AscendingOrder);
        window.Table()->viewport()->repaint();
        sorted.push_back(static_cast<double>(clock.nsecsElapsed()) / 1e6);
        clock.restart();
        window.FilterBox()->setText(QStringLiteral("channel 123"));
        window.Table()->viewport()->repaint();
        filtered.push_back(static_cast<double>(clock.nsecsElapsed()) / 1e6);
    }
    std::printf("Activity window on a day of %d hits (%s, %.1f MB), %d times, platform %s\n", rows, path.c_str(),
                static_cast<double>(std::filesystem::file_size(path)) / 1e6, times,
                qgetenv("QT_QPA_PLATFORM").constData());
    std::printf("  open, read the file, first paint  median %7.1f ms, slowest %7.1f ms\n", Median(open),
                *std::max_element(open.begin(), open.end()));
    std::printf("  sort by frequency                 median %7.1f ms\n", Median(sorted));
    std::printf("  filter by a text                  median %7.1f ms\n", Median(filtered));
    return 0;
}

} // namespace

int RunOnXServer(int argc, char** argv);

int main(int argc, char** argv)
{
    if (argc > 1 && std::strcmp(argv[1], "xcb") == 0) {
        return RunOnXServer(argc, argv);
    }
    if (argc > 1 && std::strcmp(argv[1], "activity-window") == 0) {
        return OpenActivityWindow(argc, argv);
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
    if (!dialog.Link().Running()) {
        std::fprintf(stderr, "START failed\n");
        return 1;
    }
    // Let the first replies settle, then measure. (quit() would ask the
    // panel to close, which it refuses: Exit is its only way out.)
    QTimer::singleShot(1000, &app, [] { QCoreApplication::exit(0); });
    app.exec();
    const uint64_t status0 = dialog.Link().Stats().statusRepliesStored;
    const uint64_t lcd0 = dialog.Link().Stats().lcdRepliesStored;
    const double gui0 = CpuSeconds(RUSAGE_THREAD);
    const double all0 = CpuSeconds(RUSAGE_SELF);
    QTimer::singleShot(seconds * 1000, &app, [] { QCoreApplication::exit(0); });
    app.exec();
    const double gui = CpuSeconds(RUSAGE_THREAD) - gui0;
    const double all = CpuSeconds(RUSAGE_SELF) - all0;
    const double statusRate = static_cast<double>(dialog.Link().Stats().statusRepliesStored - status0) / seconds;
    const double lcdRate = static_cast<double>(dialog.Link().Stats().lcdRepliesStored - lcd0) / seconds;
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
