#pragma once

// The recordings on disk: their formats, names and folder, one file being
// written, and the limits that keep the folder from growing without end.
//
// A hit's recording is named by the day, time and frequency it began on,
// 2026-12-09_00-29-46_433.400000MHz.opus; a hit longer than the longest
// recording goes on in ..._433.400000MHz-part2.opus and so on. Recordings
// are the user's media: made with the user's umask, in a folder the user
// can find, and never written through a symbolic link nor over a file.

#include "activity/hit.h"

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

enum class RecordingFormat { Opus, Flac, Wav };

struct RecordingFormatInfo {
    RecordingFormat format;
    std::string_view name;      // as the settings and the command line say it
    std::string_view extension; // with the dot
    int sndfileFormat;          // libsndfile's major and minor format
};
inline constexpr RecordingFormat DEFAULT_RECORDING_FORMAT = RecordingFormat::Opus;
const std::array<RecordingFormatInfo, 3>& RecordingFormats();
const RecordingFormatInfo& InfoOf(RecordingFormat format);
// "opus", "flac" or "wav", in any case.
bool ParseRecordingFormat(std::string_view name, RecordingFormat& format);

// "2.5 s": a length for a message.
std::string SecondsText(uint32_t ms);

// "2026-12-09_00-29-46_433.400000MHz": the name of a hit's recording
// without its extension.
std::string RecordingStem(const Hit& hit);
// True for a name this program gives its recordings: only such files are
// ever removed, and only such a name from an activity row is opened.
bool IsRecordingName(std::string_view name);
// `folder`/`name` for a name from an activity row; empty for anything that
// is not a recording's name (a hand-edited row naming ../something).
std::string RecordingPath(const std::string& folder, std::string_view name);

// Where recordings go unless the user chose a folder: beside the other
// kept files for a portable copy, else the user's music folder under
// "Ostrelle".
std::string DefaultRecordingFolder();
// The user's music folder: XDG_MUSIC_DIR of user-dirs.dirs in the
// configuration root, else ~/Music. Null pointers stand for unset variables.
std::string UserMusicDirectory(const char* xdgConfigHome, const char* home);

// One recording being written.
class RecordingFile {
public:
    RecordingFile() = default;
    ~RecordingFile();
    RecordingFile(const RecordingFile&) = delete;
    RecordingFile& operator=(const RecordingFile&) = delete;

    // Creates `folder`/`stem`.ext, or `stem`_2.ext and so on when the name
    // is taken, and writes the hit's frequency, start and display into the
    // file's tags. False with `error` in words.
    bool Create(const std::string& folder, const std::string& stem, RecordingFormat format, const Hit& hit,
                std::string& error);
    // False when the samples could not be written, or the disk is about to
    // be full: the file is then closed at once, whole and valid.
    bool Write(const int16_t* samples, size_t count, std::string& error);
    // Ends the file (whole and valid, as far as it got). False with `error`
    // when even that failed.
    bool Close(std::string& error);

    bool IsOpen() const { return file != nullptr; }
    const std::string& Name() const { return name; }   // the file's name in its folder
    const std::string& Stem() const { return stem; }   // without the extension
    uint64_t Frames() const { return frames; }

private:
    bool Reserve(std::string& error);

    struct sf_private_tag* file = nullptr; // libsndfile's SNDFILE
    int fd = -1;
    bool reserving = true;
    std::string path;
    std::string name;
    std::string stem;
    uint64_t frames = 0;
};

struct PruneResult {
    size_t removed = 0;
    uint64_t bytesKept = 0;
};
// Removes recordings last written more than `keepDays` days before `nowMs`
// (0: no limit), then the oldest until the rest fit in `keepBytes` (0: no
// limit), oldest first; never `spare` (the newest, whose size counts all
// the same), never anything that is not a recording of ours nor a regular
// file.
PruneResult PruneRecordings(const std::string& folder, uint32_t keepDays, uint64_t keepBytes, int64_t nowMs,
                            const std::string& spare = {});
