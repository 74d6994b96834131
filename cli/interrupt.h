#pragma once

// Ctrl-C and termination for ostrellectl. The signal only raises a flag that
// every loop of the program looks at within a few tens of milliseconds, so
// that a transfer is ended through its own stop and the port is closed on the
// way out. Should the program not be gone 250 ms after the signal (a network
// port still connecting, say), a guard ends the process there with the
// signal's code (below);
// the system then closes the port, and a receive has only ever written to a
// file beside its target.

#include <cstdint>
#include <functional>

namespace interrupt {

// Catches SIGINT, SIGTERM and SIGHUP (the console's Ctrl-C and close on
// Windows), and makes a closed standard output an error of the write instead
// of the end of the process. Call once, first thing.
void Install();

// True once an interrupt came.
bool Requested();

// The exit code of a program that a signal ended, as the shell reports one
// killed by it: 128 plus the signal's number, so 130 for Ctrl-C (and on
// Windows), 143 for SIGTERM and 129 for SIGHUP.
int SignalExitCode();

// Called once when an interrupt comes, on a thread of its own (never in the
// signal handler), so that a wait for something else can end at once
// instead of looking at Requested() now and then. Empty for none; it must
// stay callable until it is replaced.
void SetWaker(std::function<void()> waker);

// Sleeps `ms`, in short slices; false (at once) when an interrupt comes.
bool Sleep(uint32_t ms);

// The program has said its last word and is leaving with `exitCode`: a
// guard that fires now ends it with that code and says nothing more.
void Leaving(int exitCode);

// Milliseconds the guard gives the program to leave after an interrupt.
inline constexpr uint32_t GRACE_MS = 250;

} // namespace interrupt
