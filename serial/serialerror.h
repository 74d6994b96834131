#pragma once

#include <string>

// What the user can do about a failure decides how it is told; the kinds
// that differ in that.
enum class SerialFault : int {
    Other = 0,
    Missing = 1,      // nothing stands under the name: a cable unplugged, a number without a device
    Busy = 2,         // another program holds the device
    NotPermitted = 3, // the user may not open it
    NotSerial = 4,    // something that is no serial device stands under the name
};

// Why the last operation of a port failed: the platform's code (kept for
// the program, never shown), the kind, and a text meant for the user. Made
// in one place from the platform's error code so that every failure reads
// the same way.
struct SerialError {
    long code = 0;
    std::string text;
    SerialFault fault = SerialFault::Other;
};

// Composes the reason an open failed, in one or two sentences that say what
// is wrong and, where the port knows it, what to do. `port` is the name the
// user knows ("COM7"), `device` what that name was opened as; they are the
// same when the user named a device directly.
SerialError MakeOpenError(long code, const std::string& port, const std::string& device);

// Composes the reason any other operation failed.
SerialError MakeError(long code, const std::string& what);
