#pragma once

// The mirrored display as text: each code of the LCD font mapped to the
// Unicode character nearest its glyph, and the icon bits by name. One table
// for everything that writes the display out (the command line, logs).

#include "protocol/records.h"

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace lcdtext {

// The Unicode character for each code: printable ASCII as itself, the
// accented letters, symbols and box drawing where code page 437 has them,
// and the radio's own symbols (padlock, battery, signal bars, triangles,
// the bold icon letters) as the nearest symbol or letter.
extern const std::array<char32_t, 256> unicodeOfCode;

// Appends the UTF-8 form of `c`.
void AppendUtf8(std::string& out, char32_t c);

// A row up to its first zero byte (at most 16 codes), in UTF-8.
std::string RowText(const uint8_t (&row)[17]);

// The raw codes of a row, all 16 of them, as upper-case hex without spaces.
std::string RowHex(const uint8_t (&row)[17]);

// One icon of the icon row: which flag byte and bits show it, the glyph it
// is drawn with, and its name. The signal bars are a count (the bits give
// how many bars, drawn as successive glyphs from `glyph` on); the backlight
// is no glyph but the colour behind the display.
struct Icon {
    std::string_view name;
    bool fromFlagsB = false;
    uint8_t mask = 0;
    uint8_t glyph = 0;
};

enum class IconId : int {
    F = 0,
    Padlock = 1,
    G = 2,
    A = 3,
    S = 4,
    Bars = 5,
    Battery = 6,
    Up = 7,
    Down = 8,
    Backlight = 9,
};

// In the order the icon row reads from left to right, the backlight last.
inline constexpr std::array<Icon, 10> icons{{
    {"F", true, 0x01, 0x0A},
    {"padlock", true, 0x08, 0x01},
    {"G", true, 0x02, 0x0C},
    {"A", true, 0x04, 0x0B},
    {"S", false, 0x08, 0x0D},
    {"bars", false, 0x07, 0x03},
    {"battery", false, 0x30, 0x02},
    {"up", true, 0x10, 0x09},
    {"down", true, 0x20, 0x08},
    {"backlight", true, 0x40, 0x00},
}};

constexpr const Icon& IconOf(IconId id)
{
    return icons[static_cast<size_t>(id)];
}

// The bits of the icon's flag byte that concern it.
constexpr uint8_t IconBits(const Icon& icon, const LcdImage& lcd)
{
    return static_cast<uint8_t>((icon.fromFlagsB ? lcd.iconFlagsB : lcd.iconFlagsA) & icon.mask);
}

// How many signal bars are shown (0 to 7).
int SignalBars(const LcdImage& lcd);

// The names of the icons that are shown, bars and backlight left out.
std::vector<std::string_view> ShownIcons(const LcdImage& lcd);

} // namespace lcdtext
