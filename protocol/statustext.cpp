#include "protocol/statustext.h"

#include <cstdio>

namespace statustext {

std::string_view ModeText(uint8_t modeIndex)
{
    return modeIndex < modeNames.size() ? modeNames[modeIndex] : placeholder;
}

std::string_view ModulationText(uint8_t modulationIndex)
{
    return modulationIndex < modulationNames.size() ? modulationNames[modulationIndex] : placeholder;
}

std::string BatteryText(uint16_t battery)
{
    const unsigned v = battery & 0x7FFFu;
    char text[24] = {};
    const int n = std::snprintf(text, sizeof text, "%u.%02u V%s", v / 100, v % 100, (battery & 0x8000u) ? " ex" : "");
    return std::string(text, n > 0 ? static_cast<size_t>(n) : 0);
}

std::string FrequencyText(uint32_t frequencyHz)
{
    char text[24] = {};
    const int n = std::snprintf(text, sizeof text, "%lu.%06lu", static_cast<unsigned long>(frequencyHz / 1000000u),
                                static_cast<unsigned long>(frequencyHz % 1000000u));
    return std::string(text, n > 0 ? static_cast<size_t>(n) : 0);
}

std::string NumberText(uint16_t value)
{
    return std::to_string(value);
}

LampRgb LampColour(const RadioStatus& status)
{
    if (!status.statusValid) {
        return {};
    }
    return {status.lampRed(), status.lampGreen(), static_cast<uint8_t>((status.lampBlue() << 4) & 0xFF)};
}

StatusTexts FormatStatusTexts(const RadioStatus& status)
{
    StatusTexts texts;
    texts.valid = status.statusValid;
    if (!status.statusValid) {
        texts.mode = placeholder;
        texts.rssi = placeholder;
        texts.centering = placeholder;
        texts.battery = placeholder;
        return texts;
    }
    texts.mode = ModeText(status.modeIndex());
    texts.frequency = FrequencyText(status.frequencyHz());
    texts.modulation = ModulationText(status.modulationIndex());
    texts.rssi = NumberText(status.rssi());
    texts.centering = NumberText(status.centering());
    texts.battery = BatteryText(status.battery());
    for (const Indicator& indicator : indicators) {
        if (IndicatorLit(indicator, status.indicatorFlags())) {
            texts.litIndicators.push_back(indicator.name);
        }
    }
    return texts;
}

} // namespace statustext
