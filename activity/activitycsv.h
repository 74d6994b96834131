#pragma once

// The activity files: one CSV file per local day (RFC 4180: a header row,
// fields quoted where they must be, CRLF line ends, UTF-8), named
// Ostrelle-activity-YYYY-MM-DD.csv, in the folder of kept files. A hit's
// row goes to the file of the day it began on, so that every row of a file
// starts on that file's day.

#include "activity/hit.h"
#include "activity/walltime.h"

#include <string>
#include <string_view>
#include <vector>

// The last column came later: rows of older files end before it, and
// readers that take the columns by place still find the others where they were.
inline constexpr std::string_view ACTIVITY_CSV_HEADER =
    "start,duration_s,frequency_mhz,modulation,mode,display,rssi_max,rssi_mean,recording";
inline constexpr std::string_view ACTIVITY_FILE_PREFIX = "Ostrelle-activity-";
inline constexpr std::string_view ACTIVITY_FILE_SUFFIX = ".csv";

// One field, quoted (its quotes doubled) when it holds a comma, a quote or a
// line break, or begins or ends with a blank.
std::string CsvField(std::string_view text);
// The hit's row, without the line end.
std::string HitCsvRow(const Hit& hit);
// "12.345": seconds with milliseconds.
std::string DurationText(uint32_t durationMs);

std::string ActivityFileName(Day day);
bool ParseActivityFileName(std::string_view name, Day& day);
// The days whose files are in `directory`, oldest first.
std::vector<Day> ActivityDays(const std::string& directory);

struct ActivityFileContents {
    std::vector<Hit> hits;   // in file order
    size_t skipped = 0;      // rows that are not a hit (a row cut short by a full disk, a hand edit)
    std::string error;       // the file could not be read (a missing file is no error)
};
// The rows of a file's text. The header, and a last row without its line
// end, are taken as they come.
ActivityFileContents ParseActivityCsv(std::string_view text);
ActivityFileContents ReadActivityFile(const std::string& path);
