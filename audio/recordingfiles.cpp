#include "audio/recordingfiles.h"

#include "activity/walltime.h"
#include "audio/capture.h"
#include "serial/keptfiles.h"
#include "protocol/statustext.h"

#include <sndfile.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Room kept free on the disk beyond what a recording holds, so that the
// file can always be ended whole: the encoder's last pages, the header
// written back. A disk that cannot give it is full.
constexpr off_t RESERVE_BYTES = off_t{64} * 1024;
constexpr int MOST_NAME_TRIES = 100;
constexpr int64_t MS_PER_DAY = 86400000;

std::string Home(const char* home)
{
    if (home != nullptr && home[0] == '/') {
        return home;
    }
    const passwd* entry = ::getpwuid(::geteuid());
    return entry != nullptr && entry->pw_dir != nullptr ? entry->pw_dir : "";
}

std::string Trimmed(std::string folder)
{
    while (folder.size() > 1 && folder.back() == '/') {
        folder.pop_back();
    }
    return folder;
}

std::string SystemError(const std::string& what, int error)
{
    return what + ": " + std::strerror(error != 0 ? error : EIO);
}

} // namespace

const std::array<RecordingFormatInfo, 3>& RecordingFormats()
{
    static const std::array<RecordingFormatInfo, 3> table{{
        {RecordingFormat::Opus, "opus", ".opus", SF_FORMAT_OGG | SF_FORMAT_OPUS},
        {RecordingFormat::Flac, "flac", ".flac", SF_FORMAT_FLAC | SF_FORMAT_PCM_16},
        {RecordingFormat::Wav, "wav", ".wav", SF_FORMAT_WAV | SF_FORMAT_PCM_16},
    }};
    return table;
}

const RecordingFormatInfo& InfoOf(RecordingFormat format)
{
    for (const RecordingFormatInfo& info : RecordingFormats()) {
        if (info.format == format) {
            return info;
        }
    }
    return RecordingFormats().front();
}

bool ParseRecordingFormat(std::string_view name, RecordingFormat& format)
{
    std::string lower(name);
    std::transform(lower.begin(), lower.end(), lower.begin(), [](unsigned char c) { return std::tolower(c); });
    for (const RecordingFormatInfo& info : RecordingFormats()) {
        if (lower == info.name) {
            format = info.format;
            return true;
        }
    }
    return false;
}

std::string SecondsText(uint32_t ms)
{
    char text[32] = {};
    (void)std::snprintf(text, sizeof text, "%u.%u s", ms / 1000, ms % 1000 / 100);
    return text;
}

std::string RecordingStem(const Hit& hit)
{
    // 2026-12-09T00:29:46.113+01:00: the day and the time to the second.
    std::string when = IsoLocalTime(hit.startMs, hit.utcOffsetMinutes).substr(0, 19);
    when[10] = '_';
    std::replace(when.begin(), when.end(), ':', '-');
    return when + "_" + statustext::FrequencyText(hit.frequencyHz) + "MHz";
}

bool IsRecordingName(std::string_view name)
{
    Day day;
    if (name.size() < 20 || !ParseDayText(name.substr(0, 10), day) || name[10] != '_' ||
        name.find('/') != std::string_view::npos || name.find("MHz") == std::string_view::npos) {
        return false;
    }
    return std::any_of(RecordingFormats().begin(), RecordingFormats().end(),
                       [&](const RecordingFormatInfo& info) { return name.ends_with(info.extension); });
}

std::string RecordingPath(const std::string& folder, std::string_view name)
{
    return IsRecordingName(name) ? folder + "/" + std::string(name) : std::string();
}

std::string UserMusicDirectory(const char* xdgConfigHome, const char* home)
{
    const std::string homeFolder = Home(home);
    const std::string root = xdgConfigHome != nullptr && xdgConfigHome[0] == '/' ? Trimmed(xdgConfigHome)
                                                                                 : homeFolder + "/.config";
    // XDG_MUSIC_DIR="$HOME/Music", as xdg-user-dirs writes it: a path
    // relative to the home, or an absolute one.
    std::ifstream dirs(root + "/user-dirs.dirs");
    for (std::string line; std::getline(dirs, line);) {
        const std::string key = "XDG_MUSIC_DIR=\"";
        if (line.compare(0, key.size(), key) != 0 || line.size() < key.size() + 1 || line.back() != '"') {
            continue;
        }
        std::string value = line.substr(key.size(), line.size() - key.size() - 1);
        if (value.compare(0, 5, "$HOME") == 0) {
            value.replace(0, 5, homeFolder);
        }
        // "$HOME/" alone is how the file says the folder is not wanted.
        if (!value.empty() && value[0] == '/' && Trimmed(value) != Trimmed(homeFolder)) {
            return Trimmed(value);
        }
    }
    return homeFolder + "/Music";
}

std::string DefaultRecordingFolder()
{
    const std::string& kept = KeptFilesDirectory();
    if (kept != UserConfigDirectory()) {
        return kept + "/recordings";
    }
    return UserMusicDirectory(std::getenv("XDG_CONFIG_HOME"), std::getenv("HOME")) + "/Ostrelle";
}

RecordingFile::~RecordingFile()
{
    std::string ignored;
    Close(ignored);
}

bool RecordingFile::Create(const std::string& folder, const std::string& wanted, RecordingFormat format,
                           const Hit& hit, std::string& error)
{
    const RecordingFormatInfo& info = InfoOf(format);
    for (int n = 1; n <= MOST_NAME_TRIES && fd < 0; ++n) {
        stem = n == 1 ? wanted : wanted + "_" + std::to_string(n);
        name = stem + std::string(info.extension);
        path = folder + "/" + name;
        // Never through a link an attacker left, never over a recording.
        fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
        if (fd < 0 && errno != EEXIST) {
            error = SystemError(path, errno);
            return false;
        }
    }
    if (fd < 0) {
        error = folder + ": every name for " + wanted + " is taken";
        return false;
    }
    reserving = true;
    SF_INFO wantedInfo{};
    wantedInfo.samplerate = static_cast<int>(CAPTURE_RATE);
    wantedInfo.channels = 1;
    wantedInfo.format = info.sndfileFormat;
    const bool reserved = Reserve(error);
    file = reserved ? sf_open_fd(fd, SFM_WRITE, &wantedInfo, SF_FALSE) : nullptr;
    if (file == nullptr) {
        if (reserved) {
            error = path + ": " + sf_strerror(nullptr);
        }
        ::close(fd);
        fd = -1;
        ::unlink(path.c_str());
        return false;
    }
    frames = 0;
    const std::string title = statustext::FrequencyText(hit.frequencyHz) + " MHz " + hit.modulation;
    const std::string date = IsoLocalTime(hit.startMs, hit.utcOffsetMinutes);
    sf_set_string(file, SF_STR_TITLE, title.c_str());
    sf_set_string(file, SF_STR_DATE, date.c_str());
    sf_set_string(file, SF_STR_SOFTWARE, "Ostrelle");
    if (!hit.display.empty()) {
        sf_set_string(file, SF_STR_COMMENT, hit.display.c_str());
    }
    // A WAV file's header then says the length after every write, so that
    // even a crash leaves a whole file.
    sf_command(file, SFC_SET_UPDATE_HEADER_AUTO, nullptr, SF_TRUE);
    return true;
}

bool RecordingFile::Reserve(std::string& error)
{
    if (!reserving) {
        return true;
    }
    struct stat info {};
    if (::fstat(fd, &info) != 0) {
        error = SystemError(path, errno);
        return false;
    }
    if (::fallocate(fd, FALLOC_FL_KEEP_SIZE, info.st_size, RESERVE_BYTES) == 0) {
        return true;
    }
    if (errno == ENOSPC || errno == EDQUOT) {
        error = SystemError(path, errno);
        return false;
    }
    // A file system that cannot reserve (some network ones): the writes
    // alone will tell.
    reserving = false;
    return true;
}

bool RecordingFile::Write(const int16_t* samples, size_t count, std::string& error)
{
    if (file == nullptr) {
        error = path + ": not open";
        return false;
    }
    errno = 0;
    const sf_count_t written = sf_write_short(file, samples, static_cast<sf_count_t>(count));
    frames += static_cast<uint64_t>(std::max<sf_count_t>(written, 0));
    if (written != static_cast<sf_count_t>(count) || sf_error(file) != SF_ERR_NO_ERROR) {
        error = path + ": " + sf_strerror(file);
    } else if (Reserve(error)) {
        return true;
    }
    std::string closing;
    Close(closing);
    return false;
}

bool RecordingFile::Close(std::string& error)
{
    if (fd < 0) {
        return true;
    }
    bool whole = true;
    if (file != nullptr && sf_close(file) != 0) {
        error = path + ": " + sf_strerror(nullptr);
        whole = false;
    }
    file = nullptr;
    // Give back what was reserved beyond the end.
    struct stat info {};
    if (reserving && ::fstat(fd, &info) == 0) {
        (void)::ftruncate(fd, info.st_size);
    }
    if (::close(fd) != 0 && whole) {
        error = SystemError(path, errno);
        whole = false;
    }
    fd = -1;
    return whole;
}

PruneResult PruneRecordings(const std::string& folder, uint32_t keepDays, uint64_t keepBytes, int64_t nowMs,
                            const std::string& spare)
{
    struct Found {
        std::string name;
        int64_t modifiedMs;
        uint64_t bytes;
    };
    std::vector<Found> found;
    DIR* dir = ::opendir(folder.c_str());
    if (dir == nullptr) {
        return {};
    }
    while (const dirent* entry = ::readdir(dir)) {
        const std::string name = entry->d_name;
        struct stat info {};
        if (!IsRecordingName(name) ||
            ::fstatat(::dirfd(dir), name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(info.st_mode)) {
            continue;
        }
        found.push_back({name, int64_t{info.st_mtim.tv_sec} * 1000 + info.st_mtim.tv_nsec / 1000000,
                         static_cast<uint64_t>(info.st_size)});
    }
    std::sort(found.begin(), found.end(),
              [](const Found& a, const Found& b) { return a.modifiedMs != b.modifiedMs ? a.modifiedMs < b.modifiedMs : a.name < b.name; });
    PruneResult result;
    for (const Found& f : found) {
        result.bytesKept += f.bytes;
    }
    for (const Found& f : found) {
        const bool old = keepDays != 0 && nowMs - f.modifiedMs > int64_t{keepDays} * MS_PER_DAY;
        const bool over = keepBytes != 0 && result.bytesKept > keepBytes;
        if (!old && !over) {
            break;
        }
        if (f.name != spare && ::unlinkat(::dirfd(dir), f.name.c_str(), 0) == 0) {
            ++result.removed;
            result.bytesKept -= f.bytes;
        }
    }
    ::closedir(dir);
    return result;
}
