#pragma once

// The exit codes of ostrellectl. Scripts and the tests built on it depend on
// these numbers: they are part of the program's interface and never change.
enum class ExitCode : int {
    Done = 0,
    NoAnswer = 1,           // the radio did not answer (or went away)
    Usage = 2,              // the command line was wrong
    PortUnavailable = 3,    // the port could not be opened
    TransferIncomplete = 4, // a memory image transfer did not end whole
    Interrupted = 130,      // Ctrl-C; another signal ends with 128 + its number (interrupt::SignalExitCode)
};

constexpr int Code(ExitCode code)
{
    return static_cast<int>(code);
}
