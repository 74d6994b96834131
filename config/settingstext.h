#pragma once

// Bounded, locale-independent reading of the settings file `Ostrelle.cfg`.
// Whatever the file holds (lines of any length, NUL bytes, huge numbers),
// each call reads a bounded amount into memory and returns a defined value.
// The window and the command line read the file through these alone.

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace settingstext {

inline constexpr std::string_view SETTINGS_FILE_NAME = "Ostrelle.cfg";

// Longest part of one line that is kept; the rest of a longer line is read
// and dropped, so the next line is still found.
inline constexpr std::size_t MAX_LINE = 4096;

// The leading decimal integer after blanks, as the standard text-to-integer
// conversion reads it: 0 when there is none, clamped to the int range.
int LeadingInt(std::string_view text);

// The same, but nothing when the text does not start with a number (a
// binary file, say), which the conversion would read as 0.
std::optional<int> FindLeadingInt(std::string_view text);

// The leading decimal number after blanks, as the standard text-to-double
// conversion reads it in the C locale: 0.0 when there is none.
double LeadingDouble(std::string_view text);

// The pattern "%d,%d": true only when both numbers are there.
bool ParsePair(std::string_view text, int& first, int& second);

// Up to `count` lines of the file at `path`, without their line ends, each
// cut at MAX_LINE. Only a regular file is read (a FIFO or a device could
// hang the caller or never end a line); anything else, or a file that cannot
// be opened, gives no lines.
std::vector<std::string> ReadLeadingLines(const std::string& path, std::size_t count);

} // namespace settingstext
