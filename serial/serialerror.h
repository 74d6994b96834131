#pragma once

#include <string>

// Why the last operation of a port failed: the platform's code and a text
// meant for the user. Made in one place from the platform's error code so
// that every failure reads the same way.
struct SerialError {
    long code = 0;
    std::string text;
};

// Composes the reason an open failed. `device` is the name the user knows
// (after the last separator), `path` the full name that was opened.
SerialError MakeOpenError(long code, const std::string& device, const std::string& path);

// Composes the reason any other operation failed.
SerialError MakeError(long code, const std::string& what);
