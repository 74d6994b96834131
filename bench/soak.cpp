// A long run: the real front panel offscreen mirroring radiosim, with random
// key presses and tunes, and an image received and sent back every few
// minutes. It reports what it stored and lost and what it cost, and fails
// when memory or descriptors grow or a frame or a transfer goes missing.
// Usage: soak [seconds [seconds between transfers]]   (default 3600 180)

#include "benchsupport.h"
#include "panel/panelcontrols.h"
#include "panel/cfrontpaneldlg.h"
#include "protocol/frames.h"
#include "serial/keptfiles.h"
#include "simprocess.h"
#include "panel/userprompts.h"

#include <QApplication>
#include <QComboBox>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTimer>

#include <sys/resource.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr int kCom = 253;
constexpr int kRecords = 200;
// Allowed rise of the resident set between the first and the last third of
// the run: the allocator's own rounding, not a leak of the program's.
constexpr long kRssSlackKiB = 2048;

class SoakPrompts : public UserPrompts {
public:
    explicit SoakPrompts(QString image) : image(std::move(image)) {}
    void Warn(const QString& text, const QString&) override { warnings << text; }
    QString OpenFileName(const QString&, const QString&, const QString&, const QString&) override { return image; }
    QString SaveFileName(const QString&, const QString&, const QString&, const QString&) override { return image; }
    bool Confirm(const QString&, const QString&) override { return true; } // every send is meant
    QStringList warnings;

private:
    QString image;
};

int OpenDescriptors()
{
    std::error_code ec;
    const auto count = std::distance(std::filesystem::directory_iterator("/proc/self/fd", ec), {});
    return static_cast<int>(count) - 1; // the listing's own
}

// What each open descriptor points to, to tell which one a growth added.
std::vector<std::string> DescriptorTargets()
{
    std::vector<std::string> targets;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd", ec)) {
        std::error_code ignored;
        const std::string target = std::filesystem::read_symlink(entry.path(), ignored).string();
        if (target.find("/fd") == std::string::npos) { // not this listing's own
            targets.push_back(entry.path().filename().string() + " -> " + target);
        }
    }
    std::sort(targets.begin(), targets.end());
    return targets;
}

// "K=12" in radiosim's closing summary; -1 when it is not there.
long SummaryCount(const std::vector<std::string>& lines, const std::string& key)
{
    for (const std::string& line : lines) {
        const auto at = line.find(key);
        if (line.find("radiosim:") != std::string::npos && at != std::string::npos) {
            return std::strtol(line.c_str() + at + key.size(), nullptr, 10);
        }
    }
    return -1;
}

struct Sample {
    double at = 0;
    long rssKiB = 0;
    int descriptors = 0;
};

} // namespace

int main(int argc, char** argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const int seconds = argc > 1 ? std::max(10, static_cast<int>(std::strtol(argv[1], nullptr, 10))) : 3600;
    const int transferEvery = argc > 2 ? std::max(5, static_cast<int>(std::strtol(argv[2], nullptr, 10))) : 180;

    std::filesystem::create_directories(KeptFilesDirectory() + "/ports");
    SimProcess sim({"--records", std::to_string(kRecords)},
                   KeptFilesDirectory() + "/ports/COM" + std::to_string(kCom));
    if (!sim.Started()) {
        std::fprintf(stderr, "soak: radiosim did not start: %s\n", sim.Error().c_str());
        return 1;
    }
    QTemporaryDir scratch;
    SoakPrompts prompts(scratch.filePath(QStringLiteral("image.bin")));
    CFrontPanelDlg dialog(&prompts, scratch.path());
    dialog.Transfer().SetProgressStream(nullptr);
    dialog.show();
    dialog.findChild<QLineEdit*>(QStringLiteral("1032"))->setText(QString::number(kCom));
    dialog.findChild<QPushButton*>(QStringLiteral("1033"))->click();
    if (!dialog.Link().Running()) {
        std::fprintf(stderr, "soak: START failed: %s\n", prompts.warnings.join(' ').toLocal8Bit().constData());
        return 1;
    }
    RadioLink& link = dialog.Link();

    std::mt19937 rng(20261208); // NOLINT(cert-msc32-c,cert-msc51-cpp): a run must be repeatable
    long keysSent = 0;
    long tunesSent = 0;
    int receives = 0;
    int sends = 0;
    int transfersChecked = 0;
    std::vector<std::string> failures;
    std::vector<Sample> samples;
    std::vector<std::string> firstTargets;
    QElapsedTimer clock;
    clock.start();
    const double cpu0 = CpuSeconds(RUSAGE_SELF);
    // The first transfer comes early, so that what it opens once and keeps
    // (Qt opens an event descriptor on first use) is part of the baseline.
    double nextTransfer = std::min(transferEvery, seconds / 6);
    bool receiveNext = true;

    QTimer actions;
    QObject::connect(&actions, &QTimer::timeout, [&] {
        const double now = clock.elapsed() / 1000.0;
        if (now >= seconds && !dialog.Transfer().Active()) {
            QCoreApplication::exit(0);
            return;
        }
        if (dialog.Transfer().Active()) {
            return; // a frame now would land inside the image on the line
        }
        if (now >= nextTransfer) {
            nextTransfer += transferEvery;
            const int warnings = static_cast<int>(prompts.warnings.size());
            if (receiveNext) {
                dialog.OnReceiveImage();
                ++receives;
            } else {
                dialog.OnSendImage();
                ++sends;
            }
            if (prompts.warnings.size() != warnings) {
                failures.push_back("transfer refused: " + prompts.warnings.last().toStdString());
            }
            receiveNext = !receiveNext;
            return;
        }
        const int roll = std::uniform_int_distribution<int>(0, 99)(rng);
        if (roll < 25) {
            const size_t row = std::uniform_int_distribution<size_t>(0, keyTable.size() - 1)(rng);
            if (keyTable[row].caption == "L/OUT") {
                return; // L/OUT would lock the keypad for the rest of the run
            }
            dialog.findChild<QPushButton*>(QString::number(keyButtons[row].controlId))->click();
            ++keysSent;
        } else if (roll < 27) {
            const double mhz = std::uniform_int_distribution<int>(25000, 512000)(rng) / 1000.0;
            dialog.FrequencyEdit()->setText(QString::number(mhz, 'f', 3));
            dialog.findChild<QComboBox*>(QStringLiteral("1050"))
                ->setCurrentIndex(std::uniform_int_distribution<int>(0, 3)(rng));
            dialog.findChild<QPushButton*>(QStringLiteral("1035"))->click();
            ++tunesSent;
        }
    });
    actions.start(20);

    // Samples when no transfer holds a file open, so that the descriptor
    // count compares like with like.
    QTimer sampler;
    QObject::connect(&sampler, &QTimer::timeout, [&] {
        if (!dialog.Transfer().Active()) {
            samples.push_back({clock.elapsed() / 1000.0, ResidentKiB(), OpenDescriptors()});
            if (samples.size() == 1) {
                firstTargets = DescriptorTargets();
            }
        }
    });
    sampler.start(1000);

    // Each finished transfer shows up as a warning when it went wrong; the
    // received image must be whole.
    QTimer checker;
    QObject::connect(&checker, &QTimer::timeout, [&] {
        const int done = receives + sends - (dialog.Transfer().Active() ? 1 : 0);
        for (; transfersChecked < done; ++transfersChecked) {
            const auto size = std::filesystem::file_size(prompts.OpenFileName({}, {}, {}, {}).toStdString());
            if (size != static_cast<uintmax_t>(kRecords) * IMAGE_RECORD_SIZE) {
                failures.push_back("received image holds " + std::to_string(size) + " bytes");
            }
        }
    });
    checker.start(500);

    app.exec();
    const double wall = clock.elapsed() / 1000.0;
    const double cpu = CpuSeconds(RUSAGE_SELF) - cpu0;
    const uint64_t statusPolls = link.Stats().statusPollsSent;
    const uint64_t statusStored = link.Stats().statusRepliesStored;
    const uint64_t lcdPolls = link.Stats().lcdPollsSent;
    const uint64_t lcdStored = link.Stats().lcdRepliesStored;
    link.StopWorker();
    // radiosim counts an upload once the line has been quiet a moment.
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    sim.Stop();
    for (const QString& w : prompts.warnings) {
        failures.push_back("the panel warned: " + w.toStdString());
    }

    const std::vector<std::string> summary = sim.ErrorLines();
    const long keysSeen = SummaryCount(summary, " K=");
    const long tunesSeen = SummaryCount(summary, " T=");
    const long uploads = SummaryCount(summary, "uploads ");
    const long downloads = SummaryCount(summary, "downloads ");
    const long framesLost = (keysSent - keysSeen) + (tunesSent - tunesSeen);
    if (keysSeen < 0 || framesLost != 0) {
        failures.push_back("frames lost: " + std::to_string(framesLost));
    }
    if (uploads != sends || downloads != receives) {
        failures.push_back("radiosim saw " + std::to_string(downloads) + " downloads and " + std::to_string(uploads) +
                           " uploads, the panel made " + std::to_string(receives) + " and " + std::to_string(sends));
    }

    long firstPeak = 0;
    long lastPeak = 0;
    long peak = 0;
    int firstFds = 0;
    int lastFds = 0;
    int peakFds = 0;
    for (const Sample& s : samples) {
        peak = std::max(peak, s.rssKiB);
        peakFds = std::max(peakFds, s.descriptors);
        if (s.at < wall / 3) {
            firstPeak = std::max(firstPeak, s.rssKiB);
            firstFds = std::max(firstFds, s.descriptors);
        } else if (s.at > 2 * wall / 3) {
            lastPeak = std::max(lastPeak, s.rssKiB);
            lastFds = std::max(lastFds, s.descriptors);
        }
    }
    if (lastPeak > firstPeak + kRssSlackKiB) {
        failures.push_back("memory grew from " + std::to_string(firstPeak) + " to " + std::to_string(lastPeak) + " KiB");
    }
    if (lastFds > firstFds) {
        failures.push_back("descriptors grew from " + std::to_string(firstFds) + " to " + std::to_string(lastFds));
        for (const std::string& t : DescriptorTargets()) {
            if (std::find(firstTargets.begin(), firstTargets.end(), t) == firstTargets.end()) {
                failures.push_back("  open now, not at the start: " + t);
            }
        }
    }

    std::printf("soak: the front panel mirroring radiosim offscreen for %.0f s\n", wall);
    std::printf("  status replies stored    %10llu of %llu polls\n", static_cast<unsigned long long>(statusStored),
                static_cast<unsigned long long>(statusPolls));
    std::printf("  LCD replies stored       %10llu of %llu polls\n", static_cast<unsigned long long>(lcdStored),
                static_cast<unsigned long long>(lcdPolls));
    std::printf("  key frames               %10ld sent, %ld arrived\n", keysSent, keysSeen);
    std::printf("  tune frames              %10ld sent, %ld arrived\n", tunesSent, tunesSeen);
    std::printf("  frames lost              %10ld\n", framesLost);
    std::printf("  images received / sent   %6d / %d\n", receives, sends);
    std::printf("  resident memory          %10ld KiB peak (first third %ld, last third %ld)\n", peak, firstPeak,
                lastPeak);
    std::printf("  open descriptors         %10d peak (first third %d, last third %d)\n", peakFds, firstFds, lastFds);
    std::printf("  processor                %10.2f %% of one core\n", 100.0 * cpu / wall);
    for (const std::string& f : failures) {
        std::printf("FAIL: %s\n", f.c_str());
    }
    std::printf("%s\n", failures.empty() ? "soak: PASS" : "soak: FAIL");
    return failures.empty() ? 0 : 1;
}
