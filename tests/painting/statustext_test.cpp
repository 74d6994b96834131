// The texts and enable states of the status fields.

#include "panel/statuspainter.h"

#include <gtest/gtest.h>

namespace {

using statuspaint::FormatStatus;
using statuspaint::StatusView;

RadioStatus Valid()
{
    RadioStatus status;
    status.statusValid = true;
    return status;
}

void Put16(RadioStatus& status, int offset, uint16_t value)
{
    status.block[offset] = static_cast<uint8_t>(value);
    status.block[offset + 1] = static_cast<uint8_t>(value >> 8);
}

void Put32(RadioStatus& status, int offset, uint32_t value)
{
    for (int i = 0; i < 4; ++i) {
        status.block[offset + i] = static_cast<uint8_t>(value >> (8 * i));
    }
}

TEST(StatusText, Battery)
{
    const std::pair<uint16_t, const char*> cases[] = {
        {735, "7.35 V"}, {0x8000 + 735, "7.35 V ex"}, {0, "0.00 V"}, {0xFFFF, "327.67 V ex"}, {5, "0.05 V"},
    };
    for (const auto& [battery, text] : cases) {
        RadioStatus status = Valid();
        Put16(status, 2, battery);
        EXPECT_EQ(FormatStatus(status).battery, QString::fromLatin1(text)) << battery;
    }
}

TEST(StatusText, FrequencyInUnsignedMegahertz)
{
    const std::pair<uint32_t, const char*> cases[] = {
        {162550000u, "162.550000"}, {0u, "0.000000"}, {4294967295u, "4294.967295"}, {2147483648u, "2147.483648"},
        {1u, "0.000001"},
    };
    for (const auto& [hz, text] : cases) {
        RadioStatus status = Valid();
        Put32(status, 11, hz);
        EXPECT_EQ(FormatStatus(status).frequency, QString::fromLatin1(text)) << hz;
    }
}

TEST(StatusText, ModeAndModulationNamesWithPlaceholderBeyondTheTables)
{
    const std::pair<uint8_t, const char*> modes[] = {
        {0, "TUNE"}, {4, "SRCH"}, {9, "STALK"}, {10, "----"}, {255, "----"}};
    for (const auto& [index, text] : modes) {
        RadioStatus status = Valid();
        status.block[0] = index;
        EXPECT_EQ(FormatStatus(status).mode, QString::fromLatin1(text)) << int(index);
    }
    const std::pair<uint8_t, const char*> modulations[] = {
        {0, "AM"}, {2, "NFM"}, {3, "AUTO"}, {4, "----"}, {255, "----"}};
    for (const auto& [index, text] : modulations) {
        RadioStatus status = Valid();
        status.block[15] = index;
        EXPECT_EQ(FormatStatus(status).modulation, QString::fromLatin1(text)) << int(index);
    }
}

TEST(StatusText, RssiAndCenteringAsUnsignedNumbers)
{
    RadioStatus status = Valid();
    Put16(status, 4, 65535);
    Put16(status, 6, 10);
    const StatusView view = FormatStatus(status);
    EXPECT_EQ(view.rssi, QStringLiteral("65535"));
    EXPECT_EQ(view.centering, QStringLiteral("10"));
}

TEST(StatusText, IndicatorFlags)
{
    struct Case {
        uint8_t flags;
        bool rfSq, mute, xf, hd2, hd5;
    };
    const Case cases[] = {
        {0x00, false, true, false, false, false},
        {0x1F, true, false, true, true, true},
        {0x02, false, false, false, false, false},
        {0x08, false, true, false, true, false}, // 0x08 is /HD2
        {0x10, false, true, false, false, true}, // 0x10 is /HD5
        {0xE0, false, true, false, false, false},
    };
    for (const Case& c : cases) {
        RadioStatus status = Valid();
        status.block[1] = c.flags;
        const StatusView v = FormatStatus(status);
        EXPECT_EQ(v.rfSq, c.rfSq) << int(c.flags);
        EXPECT_EQ(v.mute, c.mute) << int(c.flags);
        EXPECT_EQ(v.xf, c.xf) << int(c.flags);
        EXPECT_EQ(v.hd2, c.hd2) << int(c.flags);
        EXPECT_EQ(v.hd5, c.hd5) << int(c.flags);
    }
}

TEST(StatusText, WithoutStatusNoFieldShowsTheLastOne)
{
    // The block still holds the last status; it must not show through.
    RadioStatus status = Valid();
    status.block[0] = 1;
    status.block[1] = 0x1D;
    Put16(status, 2, 735);
    Put32(status, 11, 162550000u);
    status.statusValid = false;
    const StatusView v = FormatStatus(status);
    EXPECT_EQ(v.mode, QStringLiteral("----"));
    EXPECT_EQ(v.battery, QStringLiteral("----"));
    EXPECT_EQ(v.rssi, QStringLiteral("----"));
    EXPECT_EQ(v.centering, QStringLiteral("----"));
    EXPECT_EQ(v.frequency, QStringLiteral("----"));
    EXPECT_EQ(v.modulation, QStringLiteral("----"));
    EXPECT_FALSE(v.rfSq || v.mute || v.xf || v.hd5 || v.hd2);
    EXPECT_EQ(statuspaint::LampColour(status), QColor(0, 0, 0));
}

} // namespace
