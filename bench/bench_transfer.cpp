// Seconds to send and to receive a memory image of 200 records, next to what
// the line allows at 115200 baud (11 520 bytes a second) and the radio's pace
// on upload: one record per 20 ms plus the record's own line time.
//
// It drives radiosim when the build has the helper that starts it, and the
// tests' fake radio on a pseudo-terminal otherwise.

#include "transfer/imagetransfer.h"
#include "protocol/radiolink.h"
#include "transfertestsupport.h"

#ifdef BENCH_WITH_RADIOSIM
#include "simprocess.h"
#else
#include "fakeradio.h"
#endif

#include <chrono>
#include <cstdio>

namespace {

constexpr int RECORDS = 200;
constexpr double LINE_BYTES_PER_SECOND = 11520.0;
constexpr double RECORD_PAUSE_S = 0.020;

double RunOne(RadioLink& link, ImageTransfer& transfer, const std::string& opened, const char* what)
{
    if (!opened.empty()) {
        std::fprintf(stderr, "%s: %s\n", what, opened.c_str());
        return -1.0;
    }
    const auto start = std::chrono::steady_clock::now();
    transfer.Start(link);
    // The timer's own period is part of what the user waits for.
    const TransferReport report = SuperviseUntilEnded(link, transfer, 60000);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (report.outcome != TransferOutcome::Completed) {
        std::fprintf(stderr, "%s did not complete: %s\n", what, report.message.c_str());
        return -1.0;
    }
    return seconds;
}

} // namespace

int main()
{
    ScratchDir dir;
    const std::string received = dir.File("received.bin");
    RadioLink link;
#ifdef BENCH_WITH_RADIOSIM
    SimProcess sim({"--records", std::to_string(RECORDS), "--image", dir.File("radio.bin")});
    if (!sim.Started() || !link.Port().Open(sim.Path().c_str(), 115200, 'N', 8, 1, true, true)) {
        std::fprintf(stderr, "radiosim did not start: %s\n", sim.Error().c_str());
        return 1;
    }
    link.SetRunningForTest(true);
    const char* against = "radiosim";
#else
    FakeRadio::Options options;
    options.image = PatternBytes(static_cast<size_t>(RECORDS) * IMAGE_RECORD_SIZE);
    FakeRadio radio(options);
    if (!radio.Attach(link)) {
        std::fprintf(stderr, "no pseudo-terminal for the fake radio\n");
        return 1;
    }
    const char* against = "the fake radio";
#endif
    ImageTransfer transfer;
    transfer.SetProgressStream(nullptr);
    const double receiveS = RunOne(link, transfer, transfer.OpenForReceiving(received), "receive");
    const double sendS = RunOne(link, transfer, transfer.OpenForSending(received), "send");
    link.StopWorker();
    if (receiveS < 0 || sendS < 0) {
        return 1;
    }

    const double bytes = static_cast<double>(RECORDS) * IMAGE_RECORD_SIZE;
    const double lineS = bytes / LINE_BYTES_PER_SECOND;
    const double paceS = RECORDS * (RECORD_PAUSE_S + IMAGE_RECORD_SIZE / LINE_BYTES_PER_SECOND);
    std::printf("bench_transfer: %d records (%.0f bytes) against %s\n", RECORDS, bytes, against);
    std::printf("  line limit at 115200 baud      %6.2f s\n", lineS);
    std::printf("  radio pace (20 ms + line)      %6.2f s\n", paceS);
    std::printf("  receive (incl. 0.3 s settle, 0.5 s end silence, timer)  %6.2f s\n", receiveS);
    std::printf("  send    (incl. timer)          %6.2f s\n", sendS);
    return 0;
}
