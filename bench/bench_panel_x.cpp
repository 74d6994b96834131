// bench_panel xcb [seconds] [runs]: the real program (the application object,
// its keypad filter and the modal panel) on a private Xvfb through Qt's xcb
// platform, as a user's desktop runs it, mirroring radiosim with LCD polls
// on. Offscreen runs leave out the X server and the traffic to it.
//
// Each run measures `seconds` of mirroring twice, once repainting only what
// changed and once, for comparison, refreshing after every reply as before
// change detection (the order alternates between runs), then `seconds` with
// the link stopped. With `activity` after the runs, radiosim plays busy
// traffic (a call every second or so) and the two halves are the activity
// log switched on and off instead. Processor shares come from each thread's own CPU clock,
// wake-ups from its voluntary context switches; the X server is measured the
// same way from outside.

#include "panel/activityfeed.h"
#include "app/cdemoapp.h"
#include "panel/cfrontpaneldlg.h"
#include "serial/keptfiles.h"
#include "simprocess.h"

#include <QEventLoop>
#include <QLineEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <csignal>
#include <cstring>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <string>
#include <vector>

#include <sys/wait.h>
#include <unistd.h>

namespace {

// Seconds on `clock`: the monotonic one, or the processor time of a thread
// or a process.
double ClockSeconds(clockid_t clock)
{
    timespec ts{};
    if (clock_gettime(clock, &ts) != 0) {
        return 0;
    }
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

// The CPU clock of one thread of this process, by its id (as the C library
// makes it for pthread_getcpuclockid).
clockid_t ThreadClock(pid_t tid)
{
    return static_cast<clockid_t>((~static_cast<unsigned>(tid) << 3) | 6u);
}

std::string FirstLine(const std::string& path)
{
    std::ifstream in(path);
    std::string line;
    std::getline(in, line);
    return line;
}

long VoluntarySwitches(const std::string& taskDir)
{
    std::ifstream in(taskDir + "/status");
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind("voluntary_ctxt_switches:", 0) == 0) {
            return std::strtol(line.c_str() + 24, nullptr, 10);
        }
    }
    return 0;
}

std::vector<pid_t> Tasks(pid_t pid)
{
    std::vector<pid_t> tids;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/task", ec)) {
        tids.push_back(static_cast<pid_t>(std::strtol(entry.path().filename().c_str(), nullptr, 10)));
    }
    return tids;
}

struct ThreadSample {
    std::string name;
    double cpu = 0;
    long wakeups = 0;
};

struct Sample {
    double at = 0;
    std::map<pid_t, ThreadSample> threads;
    double xCpu = 0;
    long xWakeups = 0;
    uint64_t status = 0;
    uint64_t lcd = 0;
    long refreshes = 0;
    long paints = 0;
    long hits = 0;
};

// Counts what the panel is asked to do: refresh events, and the dialog's own
// paint passes (those of its child controls are not counted).
struct PanelCounter : QObject {
    long refreshes = 0;
    long paints = 0;
    long hits = 0;
    bool eventFilter(QObject*, QEvent* event) override
    {
        refreshes += event->type() == QEvent::Type(WM_PANEL_REFRESH);
        paints += event->type() == QEvent::Paint;
        return false;
    }
};

// What the threads of this program (less the bench's own `helpers`) and the
// X server have used so far, and what the panel has done.
Sample Take(pid_t xServer, const std::set<pid_t>& helpers, CFrontPanelDlg& panel, const PanelCounter& counter)
{
    Sample s;
    s.at = ClockSeconds(CLOCK_MONOTONIC);
    const std::string self = FirstLine("/proc/self/comm");
    for (const pid_t tid : Tasks(getpid())) {
        if (helpers.count(tid) != 0) {
            continue;
        }
        const std::string dir = "/proc/self/task/" + std::to_string(tid);
        ThreadSample t;
        const std::string comm = FirstLine(dir + "/comm");
        t.name = tid == getpid() ? "window thread" : comm == self ? "poll worker" : comm;
        t.cpu = ClockSeconds(ThreadClock(tid));
        t.wakeups = VoluntarySwitches(dir);
        s.threads[tid] = t;
    }
    clockid_t xClock{};
    if (clock_getcpuclockid(xServer, &xClock) == 0) {
        s.xCpu = ClockSeconds(xClock);
    }
    for (const pid_t tid : Tasks(xServer)) {
        s.xWakeups += VoluntarySwitches("/proc/" + std::to_string(xServer) + "/task/" + std::to_string(tid));
    }
    s.status = panel.Link().Stats().statusRepliesStored;
    s.lcd = panel.Link().Stats().lcdRepliesStored;
    s.refreshes = counter.refreshes;
    s.paints = counter.paints;
    s.hits = counter.hits;
    return s;
}

// What one phase gives, per second of it.
struct Figures {
    double program = 0; // % of one core
    double x = 0;
    double wakeups = 0;
    double xWakeups = 0;
    double refreshes = 0;
    double paints = 0;
    double status = 0;
    double lcd = 0;
    double hitsPerMinute = 0;
    std::map<std::string, double> threadCpu;    // % of one core, by thread name
    std::map<std::string, double> threadWakeups; // per second
};

Figures Between(const Sample& a, const Sample& b)
{
    Figures f;
    const double span = b.at - a.at;
    for (const auto& [tid, t] : b.threads) {
        const auto before = a.threads.find(tid);
        const double cpu = t.cpu - (before != a.threads.end() ? before->second.cpu : 0);
        const long wakeups = t.wakeups - (before != a.threads.end() ? before->second.wakeups : 0);
        f.threadCpu[t.name] += 100.0 * cpu / span;
        f.threadWakeups[t.name] += static_cast<double>(wakeups) / span;
        f.program += 100.0 * cpu / span;
        f.wakeups += static_cast<double>(wakeups) / span;
    }
    f.x = 100.0 * (b.xCpu - a.xCpu) / span;
    f.xWakeups = static_cast<double>(b.xWakeups - a.xWakeups) / span;
    f.refreshes = static_cast<double>(b.refreshes - a.refreshes) / span;
    f.paints = static_cast<double>(b.paints - a.paints) / span;
    f.status = static_cast<double>(b.status - a.status) / span;
    f.lcd = static_cast<double>(b.lcd - a.lcd) / span;
    f.hitsPerMinute = 60.0 * static_cast<double>(b.hits - a.hits) / span;
    return f;
}

void Wait(int ms)
{
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

void PrintPhase(const char* what, int run, const Figures& f)
{
    std::printf("run %d %-8s program %6.2f %%  X %5.2f %%  wake-ups %6.1f /s (X %5.1f)  refreshes %6.1f /s  "
                "paints %6.1f /s  status %5.1f /s  LCD %4.1f /s  hits %4.1f /min\n",
                run, what, f.program, f.x, f.wakeups, f.xWakeups, f.refreshes, f.paints, f.status, f.lcd,
                f.hitsPerMinute);
    for (const auto& [name, cpu] : f.threadCpu) {
        std::printf("      %-22s %6.2f %%  %6.1f wake-ups/s\n", name.c_str(), cpu, f.threadWakeups.at(name));
    }
    (void)std::fflush(stdout);
}

double Median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    const size_t n = v.size();
    return n == 0 ? 0 : (n % 2 == 1 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2);
}

void PrintSummary(const char* what, double Figures::*field, const std::vector<Figures>& changed,
                  const std::vector<Figures>& every, const std::vector<Figures>& stopped)
{
    const auto column = [field](const std::vector<Figures>& runs) {
        std::vector<double> v;
        v.reserve(runs.size());
        for (const Figures& f : runs) {
            v.push_back(f.*field);
        }
        char text[40] = "";
        if (!v.empty()) {
            (void)std::snprintf(text, sizeof text, "%7.2f %7.2f", *std::min_element(v.begin(), v.end()), Median(v));
        }
        return std::string(text);
    };
    std::printf("%-26s %-16s %-16s %-16s\n", what, column(changed).c_str(), column(every).c_str(),
                column(stopped).c_str());
}

// Xvfb on the first free display; it says which through -displayfd once it
// accepts clients.
pid_t StartXServer(std::string& display)
{
    int fds[2] = {-1, -1};
    if (pipe(fds) != 0) {
        return -1;
    }
    const pid_t pid = fork();
    if (pid == 0) {
        close(fds[0]);
        const std::string fd = std::to_string(fds[1]);
        execlp("Xvfb", "Xvfb", "-displayfd", fd.c_str(), "-screen", "0", "1280x1024x24", "-nolisten", "tcp",
               "-noreset", static_cast<char*>(nullptr));
        _exit(127);
    }
    close(fds[1]);
    char number[16] = {};
    ssize_t got = 0;
    while (pid > 0 && got < static_cast<ssize_t>(sizeof number - 1)) {
        const ssize_t n = read(fds[0], number + got, sizeof number - 1 - static_cast<size_t>(got));
        if (n <= 0 || number[got + n - 1] == '\n') {
            got += std::max<ssize_t>(n, 0);
            break;
        }
        got += n;
    }
    close(fds[0]);
    if (pid < 0 || got == 0) {
        return -1;
    }
    display = ":" + std::to_string(std::strtol(number, nullptr, 10));
    return pid;
}

} // namespace

int RunOnXServer(int argc, char** argv)
{
    const int seconds = argc > 2 ? static_cast<int>(std::strtol(argv[2], nullptr, 10)) : 30;
    const int runs = argc > 3 ? static_cast<int>(std::strtol(argv[3], nullptr, 10)) : 3;
    const bool activity = argc > 4 && std::strcmp(argv[4], "activity") == 0;
    std::string display;
    const pid_t xServer = StartXServer(display);
    if (xServer <= 0) {
        std::fprintf(stderr, "Xvfb did not start (tools/setup.sh installs xvfb)\n");
        return 1;
    }
    const auto stopX = [xServer] {
        kill(xServer, SIGTERM);
        waitpid(xServer, nullptr, 0);
    };
    setenv("DISPLAY", display.c_str(), 1);
    setenv("QT_QPA_PLATFORM", "xcb", 1);

    const std::string link = KeptFilesDirectory() + "/ports/COM250";
    std::filesystem::create_directories(KeptFilesDirectory() + "/ports");
    SimProcess sim(activity ? std::vector<std::string>{"--traffic", "60"} : std::vector<std::string>{}, link);
    if (!sim.Started()) {
        std::fprintf(stderr, "radiosim did not start: %s\n", sim.Error().c_str());
        stopX();
        return 1;
    }
    // The threads so far are the bench's own (radiosim's output reader).
    std::set<pid_t> helpers;
    for (const pid_t tid : Tasks(getpid())) {
        if (tid != getpid()) {
            helpers.insert(tid);
        }
    }

    int status = 0;
    std::vector<Figures> changed;
    std::vector<Figures> every;
    std::vector<Figures> stopped;
    QTemporaryDir settings;
    CDemoApp app(argc, argv);
    app.SetSettingsDirectory(settings.path());
    QTimer::singleShot(0, &app, [&] {
        CFrontPanelDlg* panel = app.MainWindow();
        PanelCounter counter;
        panel->installEventFilter(&counter);
        QObject::connect(&panel->Activity(), &ActivityFeed::hitEnded, &counter, [&counter] { ++counter.hits; });
        panel->findChild<QLineEdit*>(QStringLiteral("1032"))->setText(QStringLiteral("250"));
        panel->findChild<QPushButton*>(QStringLiteral("1033"))->click();
        if (!panel->Link().Running()) {
            std::fprintf(stderr, "START failed\n");
            status = 1;
        }
        // A second to settle, then `seconds` measured.
        const auto measure = [&](const char* what, int run, std::vector<Figures>& into) {
            Wait(1000);
            const Sample a = Take(xServer, helpers, *panel, counter);
            Wait(seconds * 1000);
            into.push_back(Between(a, Take(xServer, helpers, *panel, counter)));
            PrintPhase(what, run, into.back());
        };
        std::printf("the program on Xvfb %s (xcb) mirroring radiosim, LCD polls on, %d s a phase%s\n",
                    display.c_str(), seconds, activity ? ", busy traffic, activity log on and off" : "");
        for (int run = 1; run <= runs && status == 0; ++run) {
            for (int half = 0; half < 2; ++half) {
                // Activity: the first column is the log on, the second off.
                const bool second = (run + half) % 2 == 0;
                if (activity) {
                    panel->Activity().SetLogging(!second);
                } else {
                    panel->Link().SetRefreshEveryReplyForTest(second);
                }
                measure(activity ? (second ? "log off" : "log on") : (second ? "every" : "changed"), run,
                        second ? every : changed);
            }
        }
        panel->Link().SetRefreshEveryReplyForTest(false);
        panel->findChild<QPushButton*>(QStringLiteral("1033"))->click();
        for (int run = 1; run <= runs && status == 0; ++run) {
            measure("stopped", run, stopped);
        }
        panel->removeEventFilter(&counter);
        panel->OnOK();
    });
    app.InitInstance();
    sim.Stop();
    stopX();

    if (status == 0) {
        std::printf(activity ? "\nmin and median of %d runs    logging on       logging off      link stopped\n"
                             : "\nmin and median of %d runs    changed only     every reply      link stopped\n",
                    runs);
        PrintSummary("program, % of one core", &Figures::program, changed, every, stopped);
        PrintSummary("X server, % of one core", &Figures::x, changed, every, stopped);
        PrintSummary("program wake-ups /s", &Figures::wakeups, changed, every, stopped);
        PrintSummary("X server wake-ups /s", &Figures::xWakeups, changed, every, stopped);
        PrintSummary("refreshes /s", &Figures::refreshes, changed, every, stopped);
        PrintSummary("paints /s", &Figures::paints, changed, every, stopped);
        PrintSummary("status replies /s", &Figures::status, changed, every, stopped);
        PrintSummary("LCD replies /s", &Figures::lcd, changed, every, stopped);
        PrintSummary("hits /min", &Figures::hitsPerMinute, changed, every, stopped);
    }
    return status;
}
