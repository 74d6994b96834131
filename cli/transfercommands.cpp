#include "cli/transfercommands.h"

#include "cli/exitcodes.h"
#include "cli/interrupt.h"
#include "serial/keptfiles.h"
#include "cli/messages.h"
#include "cli/progress.h"
#include "transfer/radiomemory.h"
#include "cli/wakeup.h"

#include "station/station.h"

#include <chrono>
#include <cstdio>
#include <iostream>
#include <string>

#if defined(_WIN32)
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <io.h>
#include <windows.h>
#else
#include <unistd.h>
#endif

namespace cli {

namespace {

constexpr uint32_t SUPERVISE_PACE_MS = 50;

bool IsTerminal(std::FILE* stream)
{
#if defined(_WIN32)
    // _isatty holds for every character device, the NUL device among them,
    // so input from NUL (or from Wine's /dev/null) passed for a person at a
    // keyboard; only a console has a console mode.
    DWORD mode = 0;
    const auto handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream)));
    return handle != INVALID_HANDLE_VALUE && ::GetConsoleMode(handle, &mode) != 0;
#else
    return ::isatty(::fileno(stream)) != 0;
#endif
}

// Where the panel and this program remember what the radio's image held.
std::string StorePath()
{
    return KeptFilesDirectory() + "/" + std::string(STORE_FILE_NAME);
}

} // namespace

TransferCommand::TransferCommand(ImageTransfer& transfer, const Options& options, const PortChoice& port)
    : options(options), port(port), reading(options.command == "read"), transfer(transfer)
{
    // Standard output is for results; progress goes to standard error.
    transfer.SetProgressStream(nullptr);
}

bool TransferCommand::Prepare(int& exitCode)
{
    exitCode = Code(ExitCode::Done);
    const std::string& file = options.arguments.at(0);
    // No stream stands in for the file: a receive replaces its file only
    // once the image is whole, which a pipe cannot wait for, and a send
    // checks its file's size before anything goes.
    if (file == "-") {
        exitCode = Fail(ExitCode::Usage, options.command + " takes a file, not '-' (standard " +
                                             (reading ? "output" : "input") +
                                             "): an image goes only between the radio and a file. A file named - is "
                                             "given as ./-.");
        return false;
    }
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
    transfer.SetRadioRecords(RememberedRadioRecords(StorePath()));
    (void)std::fprintf(stderr, "%s [y/N] ", OneLine(transfer.SendQuestion()).c_str());
    (void)std::fflush(stderr);
    std::string answer;
    if (std::getline(std::cin, answer) && (answer == "y" || answer == "Y" || answer == "yes" || answer == "YES")) {
        return true;
    }
    transfer.Abandon();
    // Declined is not done: a script must not go on as if the radio held the file.
    exitCode = Fail(ExitCode::Usage, "Nothing was sent.");
    return false;
}

void TransferCommand::Abandon()
{
    transfer.Abandon();
}

int TransferCommand::Run(Station& station)
{
    // The worker's end and Ctrl-C wake the supervising loop at once; its
    // pace is only that of the progress shown. Hooked before the worker
    // starts, and let go only once it has been joined.
    Wakeup wakeup;
    const auto wakeUp = [&wakeup] { wakeup.Raise(); };
    interrupt::SetWaker(wakeUp);
    StationEvents events;
    events.transferEnded = wakeUp;
    station.SetEvents(events);
    struct Unhook {
        Station& station;
        ~Unhook()
        {
            interrupt::SetWaker({});
            (void)station.StopTransfer();
            station.SetEvents({});
        }
    } unhook{station};
    if (!station.StartTransfer()) {
        return Fail(ExitCode::NoAnswer, "The link to the radio on " + port.shown + " is down.");
    }
    return Supervise(station, wakeup);
}

int TransferCommand::Supervise(Station& station, Wakeup& wakeup)
{
    TransferProgress progress(stderr, IsTerminal(stderr));
    const auto start = std::chrono::steady_clock::now();
    while (!station.TransferFinished()) {
        const ImageTransfer::Progress now = transfer.Snapshot();
        const bool silent =
            now.waitingForRadio && std::chrono::steady_clock::now() - start > std::chrono::seconds(FIRST_DATA_LIMIT_S);
        if (interrupt::Requested() || silent) {
            const TransferReport report = station.StopTransfer();
            progress.Finish(transfer.Snapshot());
            if (silent) {
                return Fail(ExitCode::TransferIncomplete, "Nothing came from the radio in " +
                                                              std::to_string(FIRST_DATA_LIMIT_S) + " s.\n" +
                                                              report.message);
            }
            return Fail(ExitCode::Interrupted, "interrupted.\n" + report.message);
        }
        progress.Update(now);
        (void)wakeup.Wait(std::chrono::milliseconds(SUPERVISE_PACE_MS));
    }
    // The worker has ended: this closes the stream, keeps its outcome and,
    // for a whole receive, puts the new file in FILE's place.
    TransferReport report = station.StopTransfer();
    progress.Finish(transfer.Snapshot());
    if (report.outcome == TransferOutcome::FewerRecords && options.yes) {
        report = transfer.ReplaceWithReceived();
    }
    if (report.radioRecords > 0) {
        (void)RememberRadioRecords(StorePath(), report.radioRecords); // only a hint for later sends is lost
    }
    if (report.outcome != TransferOutcome::Completed || !report.message.empty()) {
        const std::string hint =
            report.outcome == TransferOutcome::FewerRecords ? "\nGive --yes to replace it all the same." : "";
        return Fail(ExitCode::TransferIncomplete, report.message + hint);
    }
    const std::string result = OneLine(report.summary) + "\n";
    (void)std::fwrite(result.data(), 1, result.size(), stdout);
    (void)std::fflush(stdout);
    return Code(ExitCode::Done);
}

} // namespace cli
