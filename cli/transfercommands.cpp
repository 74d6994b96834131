// read and write: a memory image transfer from the command line, on the
// core's ImageTransfer and its workers, with progress on standard error.

#include "cli/commands.h"

#include "cli/exitcodes.h"
#include "cli/interrupt.h"
#include "serial/keptfiles.h"
#include "cli/messages.h"
#include "cli/progress.h"
#include "transfer/radiomemory.h"
#include "transfer/imagetransfer.h"

#include "station/station.h"

#include <chrono>
#include <cstdio>
#include <iostream>
#include <string>

#if defined(_WIN32)
#include <io.h>
#include <windows.h>
#else
#include <unistd.h>
#endif

namespace cli {

namespace {

constexpr uint32_t SUPERVISE_PACE_MS = 50;
// How long a transfer may go without its first byte or record before it
// counts as failed: the radio is then not in the mode for it.
constexpr int FIRST_DATA_LIMIT_S = 20;

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

// Before the port is opened: the file is opened (for a read, a new one
// beside FILE), a write's size checked and, unless --yes, the user asked.
// The exit code; Done to go on.
int Prepare(const Options& options, ImageTransfer& transfer)
{
    const bool reading = options.command == "read";
    const std::string& file = options.arguments.at(0);
    // No stream stands in for the file: a receive replaces its file only
    // once the image is whole, which a pipe cannot wait for, and a send
    // checks its file's size before anything goes.
    if (file == "-") {
        return Fail(ExitCode::Usage, options.command + " takes a file, not '-' (standard " +
                                         (reading ? "output" : "input") +
                                         "): an image goes only between the radio and a file. A file named - is "
                                         "given as ./-.");
    }
    // A receive's new file goes beside FILE now; FILE itself is left alone
    // until a whole image has come.
    const std::string refused = reading ? transfer.OpenForReceiving(file) : transfer.OpenForSending(file);
    if (!refused.empty()) {
        return Fail(ExitCode::Usage, refused);
    }
    if (reading || options.yes) {
        return Code(ExitCode::Done);
    }
    if (!IsTerminal(stdin)) {
        transfer.Abandon();
        return Fail(ExitCode::Usage, "write replaces everything the radio holds; give --yes to do that without a "
                                     "terminal to ask on");
    }
    transfer.SetRadioRecords(RememberedRadioRecords(StorePath()));
    (void)std::fprintf(stderr, "%s [y/N] ", OneLine(transfer.SendQuestion()).c_str());
    (void)std::fflush(stderr);
    std::string answer;
    if (std::getline(std::cin, answer) && (answer == "y" || answer == "Y" || answer == "yes" || answer == "YES")) {
        return Code(ExitCode::Done);
    }
    transfer.Abandon();
    // Declined is not done: a script must not go on as if the radio held the file.
    return Fail(ExitCode::Usage, "Nothing was sent.");
}

int Supervise(const Options& options, Station& station, StationWait& wait)
{
    ImageTransfer& transfer = station.Transfer();
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
        (void)wait.Wait(std::chrono::milliseconds(SUPERVISE_PACE_MS));
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
    (void)Emit(OneLine(report.summary) + "\n");
    return Code(ExitCode::Done);
}

} // namespace

int CommandTransfer(const Options& o, Station& station, const PortChoice& port)
{
    // Standard output is for results; progress goes to standard error.
    station.Transfer().SetProgressStream(nullptr);
    if (const int code = Prepare(o, station.Transfer()); code != Code(ExitCode::Done)) {
        return code;
    }
    if (const int code = Reach(station, port, PollStatusOnce); code != Code(ExitCode::Done)) {
        // Whatever Prepare opened is dropped, and FILE is left as it was.
        station.Transfer().Abandon();
        return code;
    }
    // The worker's end and Ctrl-C wake the supervising loop at once; its
    // pace is only that of the progress shown. Hooked before the worker
    // starts, and let go only once it has been joined.
    StationWait wait(station, {&StationEvents::transferEnded});
    if (!station.StartTransfer()) {
        return Fail(ExitCode::NoAnswer, "The link to the radio on " + port.shown + " is down.");
    }
    return Supervise(o, station, wait);
}

} // namespace cli
