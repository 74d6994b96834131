#include "activity/activitylog.h"

#include "serial/keptfiles.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

std::string ActivityLog::PathOf(Day day) const
{
    return directory + "/" + ActivityFileName(day);
}

std::string ActivityLog::Append(const Hit& hit)
{
    const std::string path = PathOf(LocalDay(hit.startMs, hit.utcOffsetMinutes));
    const KeptAppendFile kept = OpenKeptFileToAppend(path);
    if (kept.file == nullptr) {
        return kept.refused;
    }
    std::string text;
    if (kept.size == 0) {
        text = std::string(ACTIVITY_CSV_HEADER) + "\r\n";
    } else if (kept.endsMidLine) {
        // A last row without its line end (cut short elsewhere, or edited by
        // hand) is ended first, so that the new row stands on its own line.
        text = "\r\n";
    }
    text += HitCsvRow(hit) + "\r\n";
    errno = 0;
    const bool written = std::fwrite(text.data(), 1, text.size(), kept.file) == text.size();
    const int error = errno != 0 ? errno : EIO;
    if (!written) {
        (void)CutKeptFile(kept.file, kept.size); // the message below is what counts if even this fails
    }
    errno = 0;
    const bool closed = std::fclose(kept.file) == 0;
    if (written && closed) {
        return {};
    }
    return path + ": " + std::strerror(written ? (errno != 0 ? errno : EIO) : error);
}
