#include "activitylog.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <system_error>

std::string ActivityLog::PathOf(Day day) const
{
    return directory + "/" + ActivityFileName(day);
}

std::string ActivityLog::Append(const Hit& hit)
{
    namespace fs = std::filesystem;
    const std::string path = PathOf(LocalDay(hit.startMs, hit.utcOffsetMinutes));
    // Only a regular file can take rows: opening a FIFO would wait for a
    // reader, and a directory or a device takes none.
    std::error_code ec;
    const fs::file_status state = fs::status(path, ec);
    if (fs::exists(state) && !fs::is_regular_file(state)) {
        return path + ": not a regular file";
    }
    errno = 0;
    std::FILE* file = std::fopen(path.c_str(), "ab");
    if (file == nullptr) {
        return path + ": " + std::strerror(errno != 0 ? errno : EIO);
    }
    const long before = std::fseek(file, 0, SEEK_END) == 0 ? std::ftell(file) : -1;
    std::string text;
    if (before == 0) {
        text = std::string(ACTIVITY_CSV_HEADER) + "\r\n";
    }
    text += HitCsvRow(hit) + "\r\n";
    errno = 0;
    const bool written = before >= 0 && std::fwrite(text.data(), 1, text.size(), file) == text.size() &&
                         std::fflush(file) == 0;
    const int error = errno != 0 ? errno : EIO;
    const bool closed = std::fclose(file) == 0;
    if (written && closed) {
        return {};
    }
    if (before >= 0) {
        fs::resize_file(path, static_cast<uintmax_t>(before), ec);
    }
    return path + ": " + std::strerror(written ? (errno != 0 ? errno : EIO) : error);
}
