#include "transfercommands.h"

#include "exitcodes.h"
#include "frames.h"
#include "interrupt.h"
#include "messages.h"
#include "progress.h"
#include "radiolink.h"

#include <chrono>
#include <cstdio>
#include <iostream>
#include <string>

#if defined(_WIN32)
#include <io.h>
#else
#include <unistd.h>
#endif

namespace cli {

namespace {

constexpr uint32_t SUPERVISE_PACE_MS = 50;

bool IsTerminal(std::FILE* stream)
{
#if defined(_WIN32)
    return _isatty(_fileno(stream)) != 0;
#else
    return ::isatty(::fileno(stream)) != 0;
#endif
}

} // namespace

TransferCommand::TransferCommand(const Options& options, const PortChoice& port)
    : options(options), port(port), reading(options.command == "read")
{
    // Standard output is for results; progress goes to standard error.
    transfer.SetProgressStream(nullptr);
}

bool TransferCommand::Prepare(int& exitCode)
{
    exitCode = Code(ExitCode::Done);
    const std::string& file = options.arguments.at(0);
    // A receive's new file goes beside FILE now; FILE itself is left alone
    // until a whole image has come.
    const std::string refused = reading ? transfer.OpenForReceiving(file) : transfer.OpenForSending(file);
    if (!refused.empty()) {
        exitCode = Fail(ExitCode::Usage, refused);
        return false;
    }
    if (reading || options.yes) {
        return true;
    }
    if (!IsTerminal(stdin)) {
        transfer.Abandon();
        exitCode = Fail(ExitCode::Usage, "write replaces everything the radio holds; give --yes to do that without a "
                                         "terminal to ask on");
        return false;
    }
    (void)std::fprintf(stderr, "%s [y/N] ", OneLine(transfer.SendQuestion()).c_str());
    (void)std::fflush(stderr);
    std::string answer;
    if (std::getline(std::cin, answer) && (answer == "y" || answer == "Y" || answer == "yes" || answer == "YES")) {
        return true;
    }
    transfer.Abandon();
    (void)std::fprintf(stderr, "Nothing was sent.\n");
    return false;
}

void TransferCommand::Abandon()
{
    transfer.Abandon();
}

int TransferCommand::Run(RadioLink& link)
{
    if (!transfer.Start(link)) {
        return Fail(ExitCode::NoAnswer, "The link to the radio on " + port.shown + " is down.");
    }
    return Supervise(link);
}

int TransferCommand::Supervise(RadioLink& link)
{
    TransferProgress progress(stderr, IsTerminal(stderr));
    const auto start = std::chrono::steady_clock::now();
    while (!transfer.WorkerFinished(link)) {
        const ImageTransfer::Progress now = transfer.Snapshot();
        const bool silent =
            now.waitingForRadio && std::chrono::steady_clock::now() - start > std::chrono::seconds(FIRST_DATA_LIMIT_S);
        if (interrupt::Requested() || silent) {
            const TransferReport report = transfer.Stop(link);
            progress.Finish(transfer.Snapshot());
            if (silent) {
                return Fail(ExitCode::TransferIncomplete, "Nothing came from the radio in " +
                                                              std::to_string(FIRST_DATA_LIMIT_S) + " s.\n" +
                                                              report.message);
            }
            return Fail(ExitCode::Interrupted, "interrupted.\n" + report.message);
        }
        progress.Update(now);
        (void)interrupt::Sleep(SUPERVISE_PACE_MS);
    }
    // The worker has ended: this closes the stream, keeps its outcome and,
    // for a whole receive, puts the new file in FILE's place.
    const TransferReport report = transfer.Stop(link);
    const ImageTransfer::Progress last = transfer.Snapshot();
    progress.Finish(last);
    if (report.outcome != TransferOutcome::Completed || !report.message.empty()) {
        return Fail(ExitCode::TransferIncomplete, report.message);
    }
    if (reading && last.bytesReceived % IMAGE_RECORD_SIZE != 0) {
        return Fail(ExitCode::TransferIncomplete, report.summary);
    }
    const std::string result = OneLine(report.summary) + "\n";
    (void)std::fwrite(result.data(), 1, result.size(), stdout);
    (void)std::fflush(stdout);
    return Code(ExitCode::Done);
}

} // namespace cli
