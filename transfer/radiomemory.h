#pragma once

// What the program remembers of the radio between runs: how many records its
// memory image had when it was last received whole. A send of more records
// than that is named in its question, since a file larger than anything the
// radio ever sent is more likely the wrong file than a backup.
//
// It is kept in the store beside the settings file, which the window also
// uses for its own keys through its toolkit's INI files; this reads and
// writes the one line in that layout, so that the window and ostrellectl
// share it and every other line stays as it was.

#include <cstdint>
#include <string>
#include <string_view>

inline constexpr std::string_view STORE_FILE_NAME = "Ostrelle.ini";

// The count, or 0 when none is remembered: no store, no such line, or a
// number no image can have.
int32_t RememberedRadioRecords(const std::string& storePath);

// Keeps `records` (a count of at least 1) in the store, made if need be, its
// other lines untouched. The new text takes the store's place only once it
// is whole. False when that could not be done; only the hint is lost then.
bool RememberRadioRecords(const std::string& storePath, int32_t records);
