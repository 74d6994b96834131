// The live stream against a real icecast2 on loopback: the processor time
// of encoding and sending (the stream's worker; the capture that pushes is
// measured apart and left out) at 32 kb/s, and the delay from a call's start
// to its title where a listener sees it: on the server's status page for
// MP3, in the stream a listener reads for Ogg Opus (icecast 2.4 shows no
// title of an Opus stream on its status page). Not a test: it prints
// figures for a person to judge.
//
//   bench_stream [seconds] [calls]     (default 20 s a run, 10 calls)

#include "audio/icecaststream.h"
#include "benchsupport.h"
#include "icecastprocess.h"
#include "waituntil.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace audio;
using SteadyClock = std::chrono::steady_clock;

namespace {

constexpr int RATE = STREAM_SAMPLE_RATE;
constexpr int CHUNK = RATE / 50;

CallFields CallNumber(int n)
{
    char frequency[16];
    std::snprintf(frequency, sizeof frequency, "%.4f", 460.0 + 0.0125 * n);
    return {frequency, "NFM", "SCAN", "CH " + std::to_string(n)};
}

// The capture: a voice-like sound (three harmonics of a wandering pitch and
// some noise) while a call is up, the radio's hiss between, in 20 ms pieces
// at the real pace. Calls of 3 s every 6 s, or one call throughout.
struct Capture {
    IcecastStream& stream;
    bool throughout;
    std::atomic<bool> stop{false};
    double cpuSeconds = 0;

    void Run()
    {
        const double cpu0 = CpuSeconds(RUSAGE_THREAD);
        std::mt19937 random{std::random_device{}()};
        std::normal_distribution<double> noise(0.0, 300.0);
        std::vector<int16_t> piece(CHUNK);
        auto next = SteadyClock::now();
        long n = 0;
        int call = 0;
        bool up = false;
        if (throughout) {
            stream.CallStarted(CallNumber(call));
            up = true;
        }
        while (!stop) {
            const long second = n / RATE;
            if (!throughout && (second % 6 < 3) != up) {
                up = !up;
                up ? stream.CallStarted(CallNumber(++call)) : stream.CallEnded();
            }
            for (auto& s : piece) {
                const double t = static_cast<double>(n++) / RATE;
                const double pitch = 140 + 30 * std::sin(2 * M_PI * 0.7 * t);
                double v = noise(random);
                if (up) {
                    for (int h = 1; h <= 3; ++h) {
                        v += 3000.0 / h * std::sin(2 * M_PI * pitch * h * t);
                    }
                }
                s = static_cast<int16_t>(std::clamp(v, -32768.0, 32767.0));
            }
            next += std::chrono::milliseconds(20);
            std::this_thread::sleep_until(next);
            stream.Push(piece.data(), piece.size());
        }
        cpuSeconds = CpuSeconds(RUSAGE_THREAD) - cpu0;
    }
};

// The stream's share of a core over `seconds`: the process's processor time
// less the capture thread's, the stream's worker being the only other
// thread that works.
double StreamingShare(const IcecastProcess& server, StreamFormat format, bool throughout, int seconds)
{
    IcecastStream stream;
    const std::string mount = std::string("/bench") + (format == StreamFormat::Mp3 ? ".mp3" : ".opus");
    if (!stream.Start(SourceSettings(server, format, mount)).empty() ||
        !WaitUntil([&] { return stream.Status().state == StreamState::Connected; }, 5000)) {
        std::printf("not connected: %s\n", stream.Status().Text().c_str());
        return -1;
    }
    Capture capture{stream, throughout};
    const double cpu0 = CpuSeconds(RUSAGE_SELF);
    const auto start = SteadyClock::now();
    std::thread capturing([&] { capture.Run(); });
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    capture.stop = true;
    capturing.join();
    const double wall = SecondsSince(start);
    const double cpu = CpuSeconds(RUSAGE_SELF) - cpu0 - capture.cpuSeconds;
    const StreamStatus status = stream.Status();
    stream.Stop();
    std::printf("  %-8s %-22s %.2f %% of one core (capture %.2f %%), %.1f kb/s sent; %s\n",
                StreamFormatName(format), throughout ? "one call throughout" : "calls 3 s of every 6",
                100 * cpu / wall, 100 * capture.cpuSeconds / wall, status.sentBytes * 8 / wall / 1000,
                status.Text().c_str());
    return cpu / wall;
}

// A listener's connection; the bytes come through Take().
class Listener {
public:
    Listener(int port, const std::string& mount)
    {
        fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(static_cast<uint16_t>(port));
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        const std::string request = "GET " + mount + " HTTP/1.0\r\n\r\n";
        if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
            ::write(fd, request.data(), request.size()) != static_cast<ssize_t>(request.size())) {
            ::close(fd);
            fd = -1;
        }
    }
    ~Listener()
    {
        if (fd >= 0) {
            ::close(fd);
        }
    }
    Listener(const Listener&) = delete;
    Listener& operator=(const Listener&) = delete;

    // True once `text` came within limitMs; what came is kept for the next look.
    bool WaitFor(const std::string& text, int limitMs)
    {
        const auto deadline = SteadyClock::now() + std::chrono::milliseconds(limitMs);
        while (fd >= 0 && SteadyClock::now() < deadline) {
            const size_t found = got.find(text);
            if (found != std::string::npos) {
                got.erase(0, found + text.size());
                return true;
            }
            pollfd p{fd, POLLIN, 0};
            if (::poll(&p, 1, 5) > 0) {
                char buffer[4096];
                const ssize_t n = ::read(fd, buffer, sizeof buffer);
                if (n <= 0) {
                    return false;
                }
                got.append(buffer, static_cast<size_t>(n));
            }
        }
        return false;
    }

private:
    int fd = -1;
    std::string got;
};

std::string MountTitle(const IcecastProcess& server)
{
    const std::string page = server.Get("/status-json.xsl", 1000);
    const size_t at = page.find("\"title\":\"");
    return at == std::string::npos ? std::string() : page.substr(at + 9, page.find('"', at + 9) - at - 9);
}

void TitleDelays(const IcecastProcess& server, StreamFormat format, int calls)
{
    IcecastStream stream;
    const std::string mount = std::string("/titles") + (format == StreamFormat::Mp3 ? ".mp3" : ".opus");
    if (!stream.Start(SourceSettings(server, format, mount)).empty() ||
        !WaitUntil([&] { return stream.Status().state == StreamState::Connected; }, 5000)) {
        std::printf("not connected: %s\n", stream.Status().Text().c_str());
        return;
    }
    std::atomic<bool> stop{false};
    // Silence from the capture; the calls come from here.
    std::thread pushing([&] {
        std::vector<int16_t> piece(CHUNK, 0);
        auto next = SteadyClock::now();
        while (!stop) {
            next += std::chrono::milliseconds(20);
            std::this_thread::sleep_until(next);
            stream.Push(piece.data(), piece.size());
        }
    });
    WaitUntil([&] { return server.Get("/status-json.xsl").find(mount) != std::string::npos; }, 3000);
    Listener listener(server.Port(), mount);
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    std::vector<double> delays;
    for (int n = 1; n <= calls; ++n) {
        const CallFields call = CallNumber(n);
        const std::string title = FormatStreamTitle(DEFAULT_TITLE_FORMAT, call);
        const auto start = SteadyClock::now();
        stream.CallStarted(call);
        const bool seen = format == StreamFormat::Mp3
                              ? WaitUntil([&] { return MountTitle(server) == title; }, 5000)
                              : listener.WaitFor("TITLE=" + title, 5000);
        if (seen) {
            delays.push_back(SecondsSince(start) * 1000);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(700));
        stream.CallEnded();
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
    }
    stop = true;
    pushing.join();
    stream.Stop();
    std::sort(delays.begin(), delays.end());
    if (delays.empty()) {
        std::printf("  %-8s no title seen\n", StreamFormatName(format));
        return;
    }
    std::printf("  %-8s %zu of %d titles seen (%s): median %.0f ms, slowest %.0f ms\n", StreamFormatName(format),
                delays.size(), calls, format == StreamFormat::Mp3 ? "status page" : "in the stream",
                delays[delays.size() / 2], delays.back());
}

} // namespace

int main(int argc, char** argv)
{
    const int seconds = argc > 1 ? std::max(1, static_cast<int>(std::strtol(argv[1], nullptr, 10))) : 20;
    const int calls = argc > 2 ? static_cast<int>(std::strtol(argv[2], nullptr, 10)) : 10;
    IcecastProcess server;
    if (!server.Started()) {
        std::fprintf(stderr, "bench_stream: %s\n", server.Error().c_str());
        return 1;
    }
    std::printf("Processor, encoding and sending at 32 kb/s, %d s a run:\n", seconds);
    for (const StreamFormat format : {StreamFormat::Mp3, StreamFormat::OggOpus}) {
        StreamingShare(server, format, false, seconds);
        StreamingShare(server, format, true, seconds);
    }
    std::printf("A call's start to its title, %d calls:\n", calls);
    for (const StreamFormat format : {StreamFormat::Mp3, StreamFormat::OggOpus}) {
        TitleDelays(server, format, calls);
    }
    return 0;
}
