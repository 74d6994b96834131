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
    if (reading) {
        return true;
    }
    const std::string& file = options.arguments.at(0);
    if (const std::string refused = transfer.OpenForSending(file); !refused.empty()) {
        exitCode = Fail(ExitCode::Usage, refused);
        return false;
    }
    if (options.yes) {
        return true;
    }
    if (!IsTerminal(stdin)) {
        exitCode = Fail(ExitCode::Usage, "write replaces everything the radio holds; give --yes to do that without a "
                                         "terminal to ask on");
        return false;
    }
    (void)std::fprintf(stderr,
                       "Send the %d records of %s to the radio on %s? They replace everything the radio holds. "
                       "[y/N] ",
                       transfer.Snapshot().recordsTotal, file.c_str(), port.shown.c_str());
    (void)std::fflush(stderr);
    std::string answer;
    if (std::getline(std::cin, answer) && (answer == "y" || answer == "Y" || answer == "yes" || answer == "YES")) {
        return true;
    }
    // The stream goes with the transfer object; nothing was sent.
    (void)std::fprintf(stderr, "Nothing was sent.\n");
    return false;
}

int TransferCommand::Run(RadioLink& link)
{
    if (reading) {
        if (const std::string refused = transfer.OpenForReceiving(options.arguments.at(0)); !refused.empty()) {
            return Fail(ExitCode::Usage, refused);
        }
    }
    if (!transfer.Start(link)) {
        return Fail(ExitCode::NoAnswer, "The link to the radio on " + port.shown + " is down.");
    }
    return Supervise(link);
}

int TransferCommand::Supervise(RadioLink& link)
{
    TransferProgress progress(stderr, IsTerminal(stderr));
    const auto start = std::chrono::steady_clock::now();
    const std::string& file = options.arguments.at(0);
    while (!transfer.WorkerFinished(link)) {
        const ImageTransfer::Progress now = transfer.Snapshot();
        const bool started = reading ? now.bytesReceived > 0 : now.recordsSent > 0;
        const bool silent = !started && std::chrono::steady_clock::now() - start > std::chrono::seconds(FIRST_DATA_LIMIT_S);
        if (interrupt::Requested() || silent) {
            const TransferReport report = transfer.Stop(link);
            progress.Finish(transfer.Snapshot());
            if (silent) {
                return Fail(ExitCode::TransferIncomplete,
                            std::string(reading ? "The radio sent nothing" : "The radio did not get ready to take the image") +
                                " in " + std::to_string(FIRST_DATA_LIMIT_S) +
                                " s. Put it in PC/IF mode and try again.\n" + report.message);
            }
            return Fail(ExitCode::Interrupted, "interrupted. " + report.message);
        }
        progress.Update(now);
        (void)interrupt::Sleep(SUPERVISE_PACE_MS);
    }
    // The worker has ended: this closes the stream and keeps its outcome.
    const TransferReport report = transfer.Stop(link);
    const ImageTransfer::Progress last = transfer.Snapshot();
    progress.Finish(last);
    if (report.outcome != TransferOutcome::Completed || !report.message.empty()) {
        return Fail(ExitCode::TransferIncomplete, report.message);
    }
    std::string result;
    if (reading) {
        if (last.bytesReceived % IMAGE_RECORD_SIZE != 0) {
            return Fail(ExitCode::TransferIncomplete,
                        "The radio sent " + std::to_string(last.bytesReceived) +
                            " bytes, which is no whole number of 132-byte records: the image in " + file +
                            " is incomplete.");
        }
        result = "Received " + std::to_string(last.bytesReceived / IMAGE_RECORD_SIZE) + " records (" +
                 std::to_string(last.bytesReceived) + " bytes) into " + file + "\n";
    } else {
        result = "Sent " + std::to_string(last.recordsSent) + " records from " + file + " to the radio\n";
    }
    (void)std::fwrite(result.data(), 1, result.size(), stdout);
    (void)std::fflush(stdout);
    return Code(ExitCode::Done);
}

} // namespace cli
