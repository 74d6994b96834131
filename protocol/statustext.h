#pragma once

// The status block in words, exactly as the front panel shows it: one set of
// names and formats for the window, the command line and whatever else
// reports the radio's status, so that they never disagree.

#include "protocol/records.h"

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace statustext {

inline constexpr std::array<std::string_view, 10> modeNames{
    "TUNE", "SCAN", "MAN", "PGM", "SRCH", "WX", "SKY", "FAV", "VS", "STALK"};

// The status block's own list; the tune frame numbers its modulations
// differently (tuneModulationNames in frames.h).
inline constexpr std::array<std::string_view, 4> modulationNames{"AM", "FM", "NFM", "AUTO"};

// Shown for a value outside its table and for every field without status.
inline constexpr std::string_view placeholder = "----";

// One indicator caption and the bit of `indicatorFlags` that lights it. MUTE
// is lit while its bit is clear.
struct Indicator {
    std::string_view name;
    uint8_t mask = 0;
    bool litWhenSet = true;
};

inline constexpr std::array<Indicator, 5> indicators{{
    {"RF SQ", 0x01, true},
    {"MUTE", 0x02, false},
    {"/XF", 0x04, true},
    {"/HD5", 0x10, true},
    {"/HD2", 0x08, true},
}};

constexpr bool IndicatorLit(const Indicator& indicator, uint8_t flags)
{
    return ((flags & indicator.mask) != 0) == indicator.litWhenSet;
}

std::string_view ModeText(uint8_t modeIndex);
std::string_view ModulationText(uint8_t modulationIndex);
// "%u.%02u V" of bits 0-14 in hundredths of a volt, " ex" when bit 15 is set.
std::string BatteryText(uint16_t battery);
// "%lu.%06lu" MHz, unsigned, so the largest value reads 4294.967295.
std::string FrequencyText(uint32_t frequencyHz);
// RSSI and centering: the plain unsigned number.
std::string NumberText(uint16_t value);

// The lamp's colour as RGB: the blue byte counts only its low four bits, and
// a record without status shows black.
struct LampRgb {
    uint8_t red = 0;
    uint8_t green = 0;
    uint8_t blue = 0;
};
LampRgb LampColour(const RadioStatus& status);

// The whole status as shown. Without a valid status, mode, battery, RSSI and
// centering show the placeholder and no indicator is lit, while frequency
// and modulation are left empty (JSON's "shown" has them so; the window
// shows the placeholder there too).
struct StatusTexts {
    bool valid = false;
    std::string mode;
    std::string frequency;
    std::string modulation;
    std::string rssi;
    std::string centering;
    std::string battery;
    std::vector<std::string_view> litIndicators;
};
StatusTexts FormatStatusTexts(const RadioStatus& status);

} // namespace statustext
