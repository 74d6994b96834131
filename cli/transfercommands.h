#pragma once

// read and write: a memory image transfer from the command line, on the
// core's ImageTransfer and its workers, with progress on standard error.

#include "transfer/imagetransfer.h"
#include "cli/options.h"
#include "cli/portchoice.h"

class Station;

namespace cli {
class Wakeup;
}

namespace cli {

class TransferCommand {
public:
    // `transfer` is the station's, which the command then runs on.
    TransferCommand(ImageTransfer& transfer, const Options& options, const PortChoice& port);

    // Before the port is opened: the file is opened (for a read, a new one
    // beside FILE), a write's size checked and, unless --yes, the user asked.
    // False when the command ends here, with `exitCode` set.
    bool Prepare(int& exitCode);

    // The port could not be opened, or the radio did not answer: whatever
    // Prepare opened is dropped, and FILE is left as it was.
    void Abandon();

    // The transfer itself on an open, running link. Returns an exit code.
    int Run(Station& station);

private:
    int Supervise(Station& station, Wakeup& wakeup);

    const Options& options;
    const PortChoice& port;
    bool reading = false;
    ImageTransfer& transfer;
};

// How long a transfer may go without its first byte or record before it
// counts as failed: the radio is then not in the mode for it.
inline constexpr int FIRST_DATA_LIMIT_S = 20;

} // namespace cli
