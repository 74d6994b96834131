// How the link behaves with a radio on the line and without one: reply rates,
// processor time of the polling side, and the time from a key press to the
// display that shows it. Not a test: it prints figures for a person to judge.
//
//   bench_link [seconds]     (default 10 per measured run)

#include "benchsupport.h"
#include "fakeradio.h"
#include "ptypair.h"
#include "protocol/radiolink.h"

#ifdef BENCH_WITH_RADIOSIM
#include "simprocess.h"
#endif

#include <algorithm>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using std::chrono::milliseconds;
using std::chrono::steady_clock;

constexpr KeyCode kLightKey = 32;
constexpr uint8_t kBacklightIcon = 0x40;

// The far end of the line in its own process, so that the processor time of
// this process is the polling side's alone.
class RadioProcess {
public:
    virtual ~RadioProcess() = default;
    virtual bool Ok() const = 0;
    virtual std::string Path() const = 0;
    virtual const char* Name() const = 0;
};

#ifdef BENCH_WITH_RADIOSIM
class SimRadio final : public RadioProcess {
public:
    bool Ok() const override { return sim.Started(); }
    std::string Path() const override { return sim.Path(); }
    const char* Name() const override { return "radiosim"; }

private:
    SimProcess sim;
};
#endif

// The test suite's fake radio, forked off before this process has threads.
class ForkedFakeRadio final : public RadioProcess {
public:
    explicit ForkedFakeRadio(bool answering)
    {
        int quit[2] = {-1, -1};
        if (!pty.Ok() || ::pipe(quit) != 0) {
            return;
        }
        child = ::fork();
        if (child == 0) {
            ::close(quit[1]);
            FakeRadio radio(pty.Master());
            radio.SetAnswering(answering);
            const std::atomic<bool> never{false};
            radio.Run(never, quit[0]);
            ::_exit(0);
        }
        ::close(quit[0]);
        quitWrite = quit[1];
    }
    ~ForkedFakeRadio() override
    {
        if (quitWrite >= 0) {
            ::close(quitWrite); // the child sees the hang-up and ends
        }
        if (child > 0) {
            ::waitpid(child, nullptr, 0);
        }
    }
    bool Ok() const override { return child > 0; }
    std::string Path() const override { return pty.SlavePath(); }
    const char* Name() const override { return "fake radio (forked)"; }

private:
    PtyPair pty;
    pid_t child = -1;
    int quitWrite = -1;
};

struct RunFigures {
    double seconds = 0;
    double statusPerSecond = 0;
    double lcdPerSecond = 0;
    double processCpuShare = 0;
    double workerCpuShare = 0;
    double statusPollsPerSecond = 0;
};

// One link with the poll worker running; the refresh callback wakes whoever
// waits for the display to change.
class BenchLink {
public:
    bool Open(const std::string& path)
    {
        if (!link.Port().Open(path.c_str(), 115200, 'N', 8, 1, true, true)) {
            std::fprintf(stderr, "cannot open %s: %s\n", path.c_str(), link.Port().LastError().text.c_str());
            return false;
        }
        link.SetRefreshCallback([this] {
            {
                const std::lock_guard<std::mutex> lock(refreshLock);
                ++refreshes;
            }
            refreshed.notify_all();
        });
        return true;
    }

    void Start()
    {
        link.StartWorker([this](RadioLink& l) {
            const int result = PollWorker(l);
            workerCpu = CpuSeconds(RUSAGE_THREAD);
            return result;
        });
        link.SetRunningForTest(true);
    }

    RunFigures Measure(double seconds)
    {
        const uint64_t status0 = link.Stats().statusRepliesStored;
        const uint64_t lcd0 = link.Stats().lcdRepliesStored;
        const uint64_t polls0 = link.Stats().statusPollsSent;
        const double cpu0 = CpuSeconds(RUSAGE_SELF);
        const auto start = steady_clock::now();
        std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
        RunFigures f;
        f.seconds = SecondsSince(start);
        f.processCpuShare = (CpuSeconds(RUSAGE_SELF) - cpu0) / f.seconds;
        f.statusPerSecond = static_cast<double>(link.Stats().statusRepliesStored - status0) / f.seconds;
        f.lcdPerSecond = static_cast<double>(link.Stats().lcdRepliesStored - lcd0) / f.seconds;
        f.statusPollsPerSecond = static_cast<double>(link.Stats().statusPollsSent - polls0) / f.seconds;
        return f;
    }

    // Presses LIGHT and waits for the display that shows the icon changed.
    // Milliseconds, or a negative value when no such display came in 1 s.
    double KeyToDisplay()
    {
        const bool lit = Lit();
        const auto start = steady_clock::now();
        link.SendKey(kLightKey);
        std::unique_lock<std::mutex> lock(refreshLock);
        const bool changed = refreshed.wait_until(lock, start + milliseconds(1000), [&] { return Lit() != lit; });
        return changed ? SecondsSince(start) * 1000.0 : -1.0;
    }

    // Stops the worker; its share of a core over its whole life.
    double Stop()
    {
        const double life = SecondsSince(started);
        link.StopWorker();
        return workerCpu / life;
    }

private:
    bool Lit() const { return (link.Snapshot().lcd.iconFlagsB & kBacklightIcon) != 0; }

    RadioLink link;
    std::mutex refreshLock;
    std::condition_variable refreshed;
    uint64_t refreshes = 0;
    double workerCpu = 0;
    steady_clock::time_point started = steady_clock::now();
};

double Percentile(std::vector<double> values, double share)
{
    if (values.empty()) {
        return -1;
    }
    std::sort(values.begin(), values.end());
    const auto at = static_cast<size_t>(std::lround(share * static_cast<double>(values.size() - 1)));
    return values[std::min(at, values.size() - 1)];
}

void PrintRow(const char* what, double value, const char* unit, const char* target)
{
    std::printf("  %-36s %10.2f %-6s %s\n", what, value, unit, target);
}

} // namespace

int main(int argc, char** argv)
{
    const double seconds = argc > 1 ? std::max(1.0, std::strtod(argv[1], nullptr)) : 10.0;
    constexpr int kPresses = 50;

    // Both radios are made before any thread exists, because one forks.
    std::unique_ptr<RadioProcess> radio;
#ifdef BENCH_WITH_RADIOSIM
    radio = std::make_unique<SimRadio>();
    if (!radio->Ok()) {
        std::fprintf(stderr, "radiosim did not start; using the fake radio\n");
        radio.reset();
    }
#endif
    if (!radio) {
        radio = std::make_unique<ForkedFakeRadio>(true);
    }
    ForkedFakeRadio silent(false);
    if (!radio->Ok() || !silent.Ok()) {
        std::fprintf(stderr, "no pseudo-terminal for the radio\n");
        return 1;
    }

    std::printf("bench_link: %.0f s per run, radio: %s\n", seconds, radio->Name());

    // One link on `path`: `seconds` measured once it is warm, then `more`.
    const auto run = [seconds](const std::string& path, RunFigures& figures, const auto& more) {
        BenchLink bench;
        if (!bench.Open(path)) {
            return false;
        }
        bench.Start();
        std::this_thread::sleep_for(milliseconds(300)); // first replies, caches warm
        figures = bench.Measure(seconds);
        more(bench);
        figures.workerCpuShare = bench.Stop();
        return true;
    };

    RunFigures with;
    std::vector<double> latencies;
    int missed = 0;
    const bool ran = run(radio->Path(), with, [&](BenchLink& bench) {
        // Presses at random phases of the LCD poll rhythm.
        // A fixed seed: runs are compared with each other, so each presses
        // at the same phases.
        std::mt19937 random(7); // NOLINT(cert-msc32-c,cert-msc51-cpp)
        std::uniform_int_distribution<int> gap(20, 120);
        for (int i = 0; i < kPresses; ++i) {
            const double ms = bench.KeyToDisplay();
            if (ms < 0) {
                ++missed;
            } else {
                latencies.push_back(ms);
            }
            std::this_thread::sleep_for(milliseconds(gap(random)));
        }
    });
    RunFigures without;
    if (!ran || !run(silent.Path(), without, [](BenchLink&) {})) {
        return 1;
    }

    std::printf("\nwith a radio\n");
    PrintRow("status replies stored", with.statusPerSecond, "/s", "(near 1000 / (10 ms + exchange))");
    PrintRow("status polls sent", with.statusPollsPerSecond, "/s", "");
    PrintRow("LCD replies stored", with.lcdPerSecond, "/s", "(at most 10)");
    PrintRow("processor, whole process", with.processCpuShare * 100, "% core", "(target < 2)");
    PrintRow("processor, poll worker thread", with.workerCpuShare * 100, "% core", "");
    PrintRow("key to display, median", Percentile(latencies, 0.5), "ms", "(target < 60)");
    PrintRow("key to display, 95th percentile", Percentile(latencies, 0.95), "ms", "");
    PrintRow("key to display, longest", Percentile(latencies, 1.0), "ms", "");
    std::printf("  %-36s %10d of %d\n", "presses with no display change", missed, kPresses);
    std::printf("\nwith no radio\n");
    PrintRow("status polls sent", without.statusPollsPerSecond, "/s", "(about 5: each waits 100 ms)");
    PrintRow("replies stored", without.statusPerSecond + without.lcdPerSecond, "/s", "(0)");
    PrintRow("processor, whole process", without.processCpuShare * 100, "% core", "(target < 1)");
    PrintRow("processor, poll worker thread", without.workerCpuShare * 100, "% core", "");
    return 0;
}
