#pragma once

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
inline constexpr std::size_t MAX_LINE = 4096;

// One line without its line end; empty at the end of the file.
std::string ReadLine(QIODevice& in);

// The leading decimal integer after blanks, as the standard text-to-integer
// conversion reads it: 0 when there is none, clamped to the int range.
int LeadingInt(std::string_view text);

// The leading decimal number after blanks, as the standard text-to-double
// conversion reads it in the C locale: 0.0 when there is none.
double LeadingDouble(std::string_view text);

// The pattern "%d,%d": true only when both numbers are there.
bool ParsePair(std::string_view text, int& first, int& second);

} // namespace settingsfile
