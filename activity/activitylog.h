#pragma once

// Appends hits to the daily activity files, a row at a time: each row is on
// the disk once Append returns, so a crash loses at most the hit still in
// progress. A row that cannot be written whole is taken back out, so the
// file never holds half a row for the next one to continue.

#include "activity/activitycsv.h"
#include "activity/hit.h"

#include <string>

class ActivityLog {
public:
    explicit ActivityLog(std::string directory) : directory(std::move(directory)) {}

    // Empty when the row was written, else why not, in words for the user.
    std::string Append(const Hit& hit);
    std::string PathOf(Day day) const;
    const std::string& Directory() const { return directory; }

private:
    std::string directory;
};
