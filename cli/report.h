#pragma once

// How ostrellectl writes the radio's records: as lines for a person and as
// JSON for a script. The texts are the front panel's own (statustext.h,
// lcdtext.h); the JSON carries them beside the raw fields they come from.

#include "activity/hit.h"
#include "protocol/records.h"

#include <string>
#include <string_view>

namespace cli {

// "SCAN  162.550000 NFM  RSSI 300  Centermeter 10  Battery 7.35 V  [RF SQ] [/XF]";
// without a status "no status".
std::string StatusLine(const RadioStatus& status);

// The four rows up to each row's first zero code, one line each, then
// "icons: F padlock S bars=3 battery backlight" ("icons: none").
std::string LcdLines(const LcdImage& lcd);

// The display on one line: "|row 1|row 2|row 3|row 4| icons".
std::string LcdOneLine(const LcdImage& lcd);

// The JSON objects, on one line each (fields: README, "From the command line").
std::string StatusJson(const RadioStatus& status);
std::string LcdJson(const LcdImage& lcd);

// One hit: start (local, with offset), duration (seconds), frequency (the
// panel's text) and frequencyHz, modulation, mode, display, rssiMax, rssiMean.
std::string HitJson(const Hit& hit);

// A JSON string literal of UTF-8 text.
std::string JsonString(std::string_view text);

// The local time as 2026-12-08T11:31:40.123.
std::string Timestamp();

} // namespace cli
