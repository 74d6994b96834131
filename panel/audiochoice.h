#pragma once

// What the user chose in "Audio...": the input, whether each hit is
// recorded, and how and where. Kept in Ostrelle.ini beside the panel's
// other choices; the caller opens the store as it opens it for those, so
// that the file stays private to the user.

#include "audio/hitrecorder.h"

#include <cstdint>
#include <string>

class QSettings;

// The most the limits can be set to: ten years, a tebibyte.
inline constexpr uint32_t LONGEST_KEEP_DAYS = 3650;
inline constexpr uint32_t LARGEST_KEEP_MIB = 1U << 20;

struct AudioChoice {
    std::string input;   // a device's name, empty for the server's default, NO_AUDIO_INPUT for none
    bool record = false; // "Record each hit"
    RecordingFormat format = DEFAULT_RECORDING_FORMAT;
    std::string folder;  // in the file system's encoding; empty: DefaultRecordingFolder()
    uint32_t keepDays = RecorderSettings{}.keepDays;                             // 0: no limit
    uint32_t keepMiB = static_cast<uint32_t>(RecorderSettings{}.keepBytes >> 20); // 0: no limit

    bool operator==(const AudioChoice&) const = default;

    // Whatever the store lacks, or holds out of range (a hand-edited file),
    // is the default.
    static AudioChoice Load(const QSettings& store);
    void Save(QSettings& store) const;

    // Recording is on and has an input to record.
    bool Records() const { return record && input != NO_AUDIO_INPUT; }
    // The folder the recordings go to: the chosen one, or the default.
    std::string Folder() const;
    // What the per-hit recorder is made with.
    RecorderSettings Recorder() const;
};
