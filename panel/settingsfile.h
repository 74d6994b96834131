#pragma once

#include "config/settingstext.h"

#include <cstddef>
#include <string>
#include <string_view>

class QIODevice;

// Bounded, locale-independent reading of the settings file's lines. Whatever
// the file holds (lines of any length, NUL bytes, huge numbers), each call
// reads a bounded amount into memory and returns a defined value.
namespace settingsfile {

// Longest part of one line that is kept; the rest of a longer line is read
// and dropped, so the next call starts at the next line.
inline constexpr std::size_t MAX_LINE = settingstext::MAX_LINE;

// One line without its line end; empty at the end of the file.
std::string ReadLine(QIODevice& in);

// The numbers of a line are read as the core reads them for every program.
using settingstext::LeadingDouble;
using settingstext::LeadingInt;
using settingstext::ParsePair;

} // namespace settingsfile
