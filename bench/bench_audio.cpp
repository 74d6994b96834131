// What listening costs: a link polling radiosim with the hit detector on it,
// as the panel runs, then the same with the sound server's capture and the
// per-hit recorder waiting, then while a call is recorded; the memory the
// audio holds; and the delay from a call's sound reaching the input to its
// file, against the pre-roll that must cover it. radiosim plays its calls
// as tones into a private PulseAudio's null sink, whose monitor is the
// input. Not a test: it prints figures for a person to judge.
//
//   bench_audio [seconds]     (default 20 per measured run)

#include "audiotestsupport.h"
#include "benchsupport.h"

#include "simprocess.h"
#include "soundserver.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <poll.h>
#include <sys/inotify.h>
#include <sys/resource.h>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;
using SteadyClock = std::chrono::steady_clock;

int64_t WallMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

// A core's share used by this process over `seconds` from now.
double ShareOver(double seconds)
{
    const double cpu = CpuSeconds(RUSAGE_SELF);
    const auto start = SteadyClock::now();
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    return (CpuSeconds(RUSAGE_SELF) - cpu) / std::chrono::duration<double>(SteadyClock::now() - start).count();
}

// When each file appeared in `folder`, by the wall clock, from a thread that
// sleeps in inotify until one does.
class Births {
public:
    explicit Births(const std::string& folder) : fd(::inotify_init1(IN_CLOEXEC))
    {
        ::inotify_add_watch(fd, folder.c_str(), IN_CREATE);
        watcher = std::thread([this] {
            alignas(inotify_event) char buffer[4096];
            while (!done) {
                pollfd p{fd, POLLIN, 0};
                if (::poll(&p, 1, 100) <= 0) {
                    continue;
                }
                const int64_t now = WallMs();
                const ssize_t n = ::read(fd, buffer, sizeof buffer);
                for (ssize_t at = 0; at < n;) {
                    const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
                    const std::lock_guard<std::mutex> guard(lock);
                    born.emplace_back(event->len > 0 ? event->name : "", now);
                    at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
                }
            }
        });
    }
    ~Births()
    {
        done = true;
        watcher.join();
        ::close(fd);
    }
    int64_t Of(const std::string& name)
    {
        const std::lock_guard<std::mutex> guard(lock);
        for (const auto& [n, ms] : born) {
            if (n == name) {
                return ms;
            }
        }
        return 0;
    }

private:
    int fd;
    std::atomic<bool> done{false};
    std::mutex lock;
    std::vector<std::pair<std::string, int64_t>> born;
    std::thread watcher;
};

} // namespace

int main(int argc, char** argv)
{
    const double seconds = argc > 1 ? std::strtod(argv[1], nullptr) : 20.0;
    SoundServer sound;
    if (!sound.Started()) {
        std::fprintf(stderr, "bench_audio: %s\n", sound.Error().c_str());
        return 1;
    }
    TempFolder folder;
    RecorderSettings settings;
    settings.folder = (folder.path / "recordings").string();

    std::printf("bench_audio: %.0f s a run, a 16 kHz capture of a null sink's monitor, Ogg Opus files\n", seconds);
    {
        SimProcess quiet({"--traffic", "0", "--voice", "tones", "--voice-sink", sound.Sink()});
        Listening station;
        if (!quiet.Started() || !station.Listen(quiet.Path())) {
            std::fprintf(stderr, "bench_audio: radiosim: %s\n", quiet.Error().c_str());
            return 1;
        }
        std::this_thread::sleep_for(std::chrono::seconds(1));
        const double without = ShareOver(seconds);
        const long before = ResidentKiB();
        station.Hear(sound.Monitor(), settings);
        std::this_thread::sleep_for(std::chrono::seconds(1));
        const long after = ResidentKiB();
        const double waiting = ShareOver(seconds);
        std::printf("link mirroring, hit detector on, no audio:   %6.3f %% of a core\n", 100 * without);
        std::printf("the same, capture and recorder waiting:      %6.3f %% of a core (%+.3f)\n", 100 * waiting,
                    100 * (waiting - without));
        std::printf("memory the audio holds:                      %6ld KiB resident more\n", after - before);

        // A call as long as a run, measured from its second second on:
        // without audio, then recorded in each format.
        const std::string script = (folder.path / "long.txt").string();
        std::ofstream(script) << "1.0 144.012500 FM " << seconds + 3 << " 620\n";
        double heard = 0;
        for (int run = -1; run < static_cast<int>(RecordingFormats().size()); ++run) {
            SimProcess calling({"--activity", script, "--voice", "tones", "--voice-sink", sound.Sink()});
            const auto zero = SteadyClock::now();
            Listening recording;
            recording.Listen(calling.Path());
            if (run >= 0) {
                settings.format = RecordingFormats()[static_cast<size_t>(run)].format;
                recording.Hear(sound.Monitor(), settings);
            }
            std::this_thread::sleep_until(zero + std::chrono::seconds(2));
            const double during = ShareOver(seconds);
            if (run < 0) {
                heard = during;
                std::printf("a call heard, no audio:                      %6.3f %% of a core\n", 100 * during);
            } else {
                std::printf("the call recorded, %-5s                     %6.3f %% of a core (%+.3f)\n",
                            std::string(RecordingFormats()[static_cast<size_t>(run)].name).c_str(), 100 * during,
                            100 * (during - heard));
            }
        }
        settings.format = DEFAULT_RECORDING_FORMAT;
    }

    // Short calls, three seconds apart: when each file began against the
    // sound it holds.
    {
        const fs::path calls = folder.path / "calls";
        settings.folder = calls.string();
        fs::create_directories(calls);
        Births births(calls.string());
        const std::string script = (folder.path / "short.txt").string();
        std::ofstream out(script);
        const int count = 8;
        for (int i = 0; i < count; ++i) {
            out << 1.0 + 3.0 * i << " 144.012500 FM 1.0 620\n";
        }
        out.close();
        // The capture runs before the calls begin, as it would all day.
        Listening listening;
        listening.Hear(sound.Monitor(), settings);
        SimProcess sim({"--activity", script, "--voice", "tones", "--voice-sink", sound.Sink()});
        const auto zero = SteadyClock::now();
        listening.Listen(sim.Path());
        std::this_thread::sleep_until(zero + std::chrono::milliseconds(static_cast<int>((1.0 + 3.0 * count + 1.5) * 1000)));
        listening.Stop();
        const std::vector<Hit>& hits = listening.hits;
        double worstMargin = 1e9;
        double worstBirth = -1e9;
        double sumMargin = 0;
        int measured = 0;
        for (const Hit& hit : hits) {
            const Decoded d = Decode(calls / hit.recording);
            const Loud loud = LoudPart(d);
            const int64_t born = births.Of(hit.recording);
            if (hit.recording.empty() || loud.from < 0 || born == 0) {
                continue;
            }
            // The file begins at the hit's start less the pre-roll; the
            // sound reached the input `loud.from` after that.
            const double onsetMs = static_cast<double>(hit.startMs) - settings.preRollMs + loud.from * 1000;
            worstMargin = std::min(worstMargin, loud.from * 1000);
            sumMargin += loud.from * 1000;
            worstBirth = std::max(worstBirth, static_cast<double>(born) - onsetMs);
            ++measured;
        }
        std::printf("calls measured:                              %6d of %zu hits\n", measured, hits.size());
        if (measured > 0) {
            std::printf("pre-roll before the sound in the file:       %6.0f ms on average, %.0f ms at least (pre-roll %u ms)\n",
                        sumMargin / measured, worstMargin, settings.preRollMs);
            std::printf("from the sound at the input to its file:     %6.0f ms at most\n", worstBirth);
        }
    }
    return 0;
}
