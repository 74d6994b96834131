// The control server over a link polling radiosim: the rhythm of the status
// polls with no client, with a client in a process of its own that floods
// the server with commands, and with one that sets frequencies as fast as it
// is answered; the answers per second, the time of one question and answer,
// and the processor time of this process (the poll worker and the server);
// then how long a good client's connect takes while other processes open and
// close connections as fast as they can.
// Not a test: it prints figures for a person to judge.
//
//   bench_control [seconds]     (default 10 per measured run)

#include "benchsupport.h"
#include "control/linkaccess.h"
#include "protocol/radiolink.h"
#include "control/rigctlserver.h"
#include "simprocess.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <netinet/in.h>
#include <poll.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace {

using SteadyClock = std::chrono::steady_clock;

constexpr int BATCH = 10000;

int Connect(uint16_t port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// Reads until `lines` more newlines came; false when the server went quiet.
bool ReadLines(int fd, long lines, std::string* last = nullptr)
{
    char buffer[65536];
    while (lines > 0) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 5000) <= 0) {
            return false;
        }
        const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n <= 0) {
            return false;
        }
        lines -= std::count(buffer, buffer + n, '\n');
        if (last != nullptr) {
            last->assign(buffer, static_cast<size_t>(n));
        }
    }
    return true;
}

bool SendAll(int fd, const std::string& text)
{
    size_t sent = 0;
    while (sent < text.size()) {
        const ssize_t n = ::send(fd, text.data() + sent, text.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) {
            return false;
        }
        sent += static_cast<size_t>(n);
    }
    return true;
}

// The flooding client, in a process of its own (this program started again
// with --flood, so that it shares no thread with the server): batches of one-line questions,
// pipelined, for `seconds`; it exits with the number of batches answered.
int FloodChild(uint16_t port, double seconds)
{
    const int fd = Connect(port);
    if (fd < 0) {
        return 0;
    }
    static const char* const questions[] = {"f\n", "l STRENGTH\n", "v\n", "t\n", "\\get_powerstat\n", "l RAWSTR\n"};
    std::string batch;
    for (int i = 0; i < BATCH; ++i) {
        batch += questions[i % 6];
    }
    int batches = 0;
    const auto start = SteadyClock::now();
    while (SecondsSince(start) < seconds && batches < 250) {
        const pid_t writer = ::fork();
        if (writer == 0) {
            _exit(SendAll(fd, batch) ? 0 : 1);
        }
        const bool answered = ReadLines(fd, BATCH);
        ::waitpid(writer, nullptr, 0);
        if (!answered) {
            break;
        }
        ++batches;
    }
    return batches;
}

// A churning client, in a process of its own: for `seconds`, opens a burst
// of connections and hangs them all up, then rests a little, as programs do
// that each connect, ask once and go.
int ChurnChild(uint16_t port, double seconds)
{
    constexpr int BURST = 16;
    constexpr useconds_t REST_US = 50000;
    const auto start = SteadyClock::now();
    while (SecondsSince(start) < seconds) {
        std::vector<int> burst;
        burst.reserve(BURST);
        for (int i = 0; i < BURST; ++i) {
            burst.push_back(Connect(port));
        }
        for (const int fd : burst) {
            if (fd >= 0) {
                ::close(fd);
            }
        }
        ::usleep(REST_US);
    }
    return 0;
}

pid_t Spawn(char* program, const std::vector<std::string>& args)
{
    std::vector<char*> argv{program};
    for (const std::string& a : args) {
        argv.push_back(const_cast<char*>(a.c_str()));
    }
    argv.push_back(nullptr);
    pid_t child = -1;
    return ::posix_spawn(&child, "/proc/self/exe", nullptr, nullptr, argv.data(), environ) == 0 ? child : -1;
}

struct Rhythm {
    double statusPerSecond = 0;
    double processorShare = 0; // of one core, this process
};

template <typename Busy>
Rhythm Measure(RadioLink& link, double seconds, Busy busy)
{
    const uint64_t before = link.Stats().statusRepliesStored;
    const double cpu = CpuSeconds(RUSAGE_SELF);
    const auto start = SteadyClock::now();
    busy();
    while (SecondsSince(start) < seconds) {
        ::usleep(10000);
    }
    const double spent = SecondsSince(start);
    return {static_cast<double>(link.Stats().statusRepliesStored - before) / spent, (CpuSeconds(RUSAGE_SELF) - cpu) / spent};
}

double Percentile(std::vector<double> values, double fraction)
{
    if (values.empty()) {
        return 0;
    }
    std::sort(values.begin(), values.end());
    return values[static_cast<size_t>(fraction * static_cast<double>(values.size() - 1))];
}

} // namespace

int main(int argc, char** argv)
{
    // This program started again as one of its own clients: PORT SECONDS.
    if (argc == 4 && (std::string(argv[1]) == "--churn" || std::string(argv[1]) == "--flood")) {
        const auto port = static_cast<uint16_t>(std::strtol(argv[2], nullptr, 10));
        const double childSeconds = std::strtod(argv[3], nullptr);
        return std::string(argv[1]) == "--churn" ? ChurnChild(port, childSeconds)
                                                 : std::min(FloodChild(port, childSeconds), 255);
    }
    const double seconds = argc > 1 ? std::strtod(argv[1], nullptr) : 10.0;
    SimProcess sim;
    if (!sim.Started()) {
        std::fprintf(stderr, "radiosim did not start: %s\n", sim.Error().c_str());
        return 1;
    }
    RadioLink link;
    if (!link.OpenPortNamed(sim.Path())) {
        std::fprintf(stderr, "cannot open %s: %s\n", sim.Path().c_str(), link.OpenError().c_str());
        return 1;
    }
    link.StartPolling();
    control::LinkAccess access(link);
    control::RigctlServer server(access);
    control::ServerSettings settings;
    settings.port = 0;
    std::string error;
    if (!server.Start(settings, error)) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return 1;
    }
    ::usleep(500000);
    const uint16_t port = server.Port();
    std::printf("Control server at %s over radiosim, %.0f s per run\n", server.Endpoint().c_str(), seconds);

    const Rhythm quiet = Measure(link, seconds, [] {});
    std::printf("no client:            status %.1f /s, processor %.2f %% of one core\n", quiet.statusPerSecond,
                100 * quiet.processorShare);

    // One question and its answer, one at a time.
    std::vector<double> roundTrips;
    const int fd = Connect(port);
    for (int i = 0; i < 2000 && fd >= 0; ++i) {
        const auto asked = SteadyClock::now();
        if (!SendAll(fd, "f\n") || !ReadLines(fd, 1)) {
            break;
        }
        roundTrips.push_back(SecondsSince(asked) * 1e6);
    }
    std::printf("f answered in:        median %.0f us, 99th percentile %.0f us (%zu questions)\n",
                Percentile(roundTrips, 0.5), Percentile(roundTrips, 0.99), roundTrips.size());

    int batches = 0;
    double floodSeconds = 0;
    const Rhythm flooded = Measure(link, seconds, [&] {
        const auto spawned = SteadyClock::now();
        const pid_t child = Spawn(argv[0], {"--flood", std::to_string(port), std::to_string(seconds)});
        if (child < 0) {
            return;
        }
        int status = 0;
        ::waitpid(child, &status, 0);
        // The last batch is answered after the time is up: a batch of
        // 10 000 lines takes five seconds at the server's pace.
        floodSeconds = SecondsSince(spawned);
        batches = WIFEXITED(status) ? WEXITSTATUS(status) : 0;
    });
    std::printf("flooding client:      status %.1f /s (%.1f %% of the quiet rhythm), %.0f commands answered /s, "
                "processor %.2f %%\n",
                flooded.statusPerSecond, 100 * flooded.statusPerSecond / quiet.statusPerSecond,
                floodSeconds > 0 ? batches * static_cast<double>(BATCH) / floodSeconds : 0.0,
                100 * flooded.processorShare);

    int sets = 0;
    std::vector<double> setTimes;
    const Rhythm setting = Measure(link, seconds, [&] {
        const auto start = SteadyClock::now();
        for (uint32_t hz = 150000000; fd >= 0 && SecondsSince(start) < seconds; hz += 12500) {
            const auto asked = SteadyClock::now();
            std::string answer;
            if (!SendAll(fd, "F " + std::to_string(hz) + "\n") || !ReadLines(fd, 1, &answer) ||
                answer != "RPRT 0\n") {
                break;
            }
            setTimes.push_back(SecondsSince(asked) * 1000);
            ++sets;
        }
    });
    std::printf("setting client:       status %.1f /s (%.1f %%), %d frequencies set, each answered in median "
                "%.1f ms\n",
                setting.statusPerSecond, 100 * setting.statusPerSecond / quiet.statusPerSecond, sets,
                Percentile(setTimes, 0.5));
    if (fd >= 0) {
        ::close(fd);
    }

    // A lost connection request is sent again after a second: the slowest
    // connects show whether the server's queue of them ever overflowed.
    constexpr int CHURNERS = 4;
    constexpr int GOOD_CONNECTS = 300;
    std::vector<pid_t> churners;
    churners.reserve(CHURNERS);
    for (int i = 0; i < CHURNERS; ++i) {
        churners.push_back(Spawn(argv[0], {"--churn", std::to_string(port), std::to_string(seconds)}));
    }
    std::vector<double> connectTimes;
    const auto churnStart = SteadyClock::now();
    for (int i = 0; i < GOOD_CONNECTS && SecondsSince(churnStart) < seconds; ++i) {
        const auto asked = SteadyClock::now();
        const int good = Connect(port);
        connectTimes.push_back(SecondsSince(asked) * 1000);
        if (good >= 0) {
            ::close(good);
        }
        ::usleep(static_cast<useconds_t>(seconds * 1e6 / GOOD_CONNECTS / 2));
    }
    for (const pid_t churner : churners) {
        if (churner > 0) {
            ::waitpid(churner, nullptr, 0);
        }
    }
    const auto slow = std::count_if(connectTimes.begin(), connectTimes.end(), [](double ms) { return ms >= 500; });
    std::printf("connects under churn: %zu by a good client beside %d churning processes: median %.2f ms, "
                "slowest %.1f ms, %ld of half a second or more\n",
                connectTimes.size(), CHURNERS, Percentile(connectTimes, 0.5),
                connectTimes.empty() ? 0.0 : *std::max_element(connectTimes.begin(), connectTimes.end()),
                static_cast<long>(slow));
    server.Stop();
    link.StopWorker();
    return 0;
}
