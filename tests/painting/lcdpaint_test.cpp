// The LCD area rendered into images at 96 DPI and read back by pixels.

#include "panel/lcdpainter.h"
#include "painttestsupport.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace {

using namespace painttest;

constexpr QRgb lit = 0xFFFF9927;
constexpr QRgb unlit = 0xFF8CA68B;

QImage Paint(const LcdImage& lcd, QRgb prefill = sentinel)
{
    QImage image = MakeImage(500, 400, prefill);
    QPainter painter(&image);
    lcdpaint::PaintLcd(painter, LcdFont(), TestLcdRect(), lcd);
    return image;
}

LcdImage WithRows(const char* r0, const char* r1 = "", const char* r2 = "", const char* r3 = "")
{
    LcdImage lcd;
    lcd.lcdValid = true;
    const char* rows[4] = {r0, r1, r2, r3};
    for (int k = 0; k < 4; ++k) {
        std::memcpy(lcd.rows[k], rows[k], std::min<size_t>(16, std::strlen(rows[k])));
    }
    return lcd;
}

const QRect lcdRect = TestLcdRect();
const int L = lcdRect.left();
const int T = lcdRect.top();
const int R = lcdRect.left() + lcdRect.width();
const int B = lcdRect.top() + lcdRect.height();

QRect IconBand()
{
    return QRect(L - 3, T, R - L + 6, rowHeight);
}

QRect RowCell(int row, int column)
{
    return QRect(L + 1 + column * cell, T + (row + 1) * rowHeight, cell, rowHeight);
}

TEST(LcdLayout, CentresOverF2AndStandsTenPixelsAboveIt)
{
    struct Case {
        QRect f2;
        QRect expected;
    };
    const Case cases[] = {
        {F2Key(), TestLcdRect()},
        // An odd centre truncates: (201 + 262) / 2 = 231.
        {QRect(201, 300, 61, 30), QRect(87, 170, 288, 120)},
        {QRect(0, 200, 40, 20), QRect(-124, 70, 288, 120)},
    };
    const QImage device = MakeImage(4, 4);
    for (const Case& c : cases) {
        EXPECT_EQ(lcdpaint::LayoutLcd(LcdFont(), c.f2, &device), c.expected) << c.f2.x();
    }
    EXPECT_EQ(lcdpaint::PaintedArea(TestLcdRect()), QRect(83, 170, 294, 120));
}

TEST(LcdPaint, WithoutADisplayOnlyTheBackgroundIsPaintedWhateverTheRecordHolds)
{
    struct Case {
        uint8_t flagsB;
        QRgb colour;
    };
    const Case cases[] = {{0x00, unlit}, {0x40, lit}, {0xFF, lit}, {0xBF, unlit}};
    for (const Case& c : cases) {
        LcdImage lcd = WithRows("ABCDEFGHIJKLMNOP", "0123456789012345", "ABCDEFGHIJKLMNOP", "################");
        lcd.lcdValid = false;
        lcd.iconFlagsA = 0xFF;
        lcd.iconFlagsB = c.flagsB;
        const QImage image = Paint(lcd);
        const QRect area = lcdpaint::PaintedArea(lcdRect);
        EXPECT_EQ(CountOther(image, area, c.colour), 0) << int(c.flagsB);
        EXPECT_EQ(CountOther(image, image.rect(), sentinel), area.width() * area.height()) << int(c.flagsB);
    }
}

TEST(LcdPaint, BackgroundFollowsTheBacklightBit)
{
    for (const uint8_t flagsB : {uint8_t(0x00), uint8_t(0x40)}) {
        LcdImage lcd = WithRows("");
        lcd.iconFlagsB = flagsB;
        const QImage image = Paint(lcd);
        EXPECT_EQ(CountOther(image, lcdpaint::PaintedArea(lcdRect), flagsB ? lit : unlit), 0);
    }
}

// Every pass must cover its whole area, so that repainting only that area
// shows what a full repaint would; and it must not draw outside it.
TEST(LcdPaint, EveryPassCoversExactlyThePaintedArea)
{
    std::vector<LcdImage> records;
    records.push_back(WithRows("ABCDEFGHIJKLMNOP", "0123456789012345", "ABCDEFGHIJKLMNOP", "0123456789012345"));
    records.push_back(WithRows("AB", "", "X"));
    LcdImage narrow = WithRows("");
    for (int k = 0; k < 4; ++k) {
        std::memset(narrow.rows[k], 0x03, 16); // sixteen narrow bar codes
    }
    records.push_back(narrow);
    LcdImage allIcons = WithRows("\x02\x0B\x66" "ABCDEFGHIJKL\x02");
    allIcons.iconFlagsA = 0xFF;
    allIcons.iconFlagsB = 0xFF;
    records.push_back(allIcons);

    const QRect area = lcdpaint::PaintedArea(lcdRect);
    for (size_t i = 0; i < records.size(); ++i) {
        const QImage image = Paint(records[i]);
        EXPECT_EQ(CountOther(image, area, sentinel), area.width() * area.height()) << "record " << i;
        EXPECT_EQ(CountOther(image, image.rect(), sentinel), area.width() * area.height()) << "record " << i;
    }
}

// A display that is not current: drawn unlit whatever its backlight, its
// characters faded (nothing in full black), the reason in amber on the dark
// band across the middle rows; every pass still covers exactly its area.
TEST(LcdPaint, MarkedDisplayIsUnlitFadedAndCarriesItsReason)
{
    LcdImage shown = WithRows("ABCDEFGHIJKLMNOP", "0123456789012345", "ABCDEFGHIJKLMNOP", "################");
    shown.iconFlagsA = 0xFF;
    shown.iconFlagsB = 0xFF; // backlight on
    LcdImage none = shown;
    none.lcdValid = false;
    QFont font(QStringLiteral("Liberation Sans"));
    font.setPixelSize(14);
    font.setBold(true);
    const lcdpaint::LcdMark mark{QStringLiteral("Radio disconnected: waiting for COM 256"), font};
    const QRect area = lcdpaint::PaintedArea(lcdRect);
    const QRect band = lcdpaint::MarkBand(lcdRect);
    EXPECT_TRUE(area.contains(band));
    for (const LcdImage& lcd : {shown, none}) {
        SCOPED_TRACE(lcd.lcdValid ? "display" : "no display");
        QImage image = MakeImage(500, 400);
        QPainter painter(&image);
        lcdpaint::PaintLcd(painter, LcdFont(), lcdRect, lcd, mark);
        painter.end();
        EXPECT_EQ(CountOther(image, area, sentinel), area.width() * area.height());
        EXPECT_EQ(CountOther(image, image.rect(), sentinel), area.width() * area.height());
        const int bandArea = band.width() * band.height();
        EXPECT_LT(CountOther(image, band, lcdpaint::markBandRgb), bandArea / 2);
        EXPECT_GT(bandArea - CountOther(image, band, lcdpaint::markTextRgb), 50) << "no reason in the band";
        int lit = 0;
        int black = 0;
        int faded = 0;
        for (int y = area.top(); y <= area.bottom(); ++y) {
            for (int x = area.left(); x <= area.right(); ++x) {
                if (band.contains(x, y)) {
                    continue;
                }
                const QRgb p = image.pixel(x, y);
                lit += p == lcdpaint::backlightOnRgb ? 1 : 0;
                black += p == qRgb(0, 0, 0) ? 1 : 0;
                faded += p == lcdpaint::fadedInkRgb ? 1 : 0;
            }
        }
        EXPECT_EQ(lit, 0);
        EXPECT_EQ(black, 0);
        EXPECT_EQ(faded > 100, lcd.lcdValid) << faded;
    }
}

TEST(LcdPaint, RowsStartAtTheirCellsAndStopAtTheirFirstZero)
{
    LcdImage lcd = WithRows("A", "", "ABCDE", "");
    // Bytes after the zero belong to no text and must not show.
    std::memcpy(lcd.rows[2] + 6, "XXXXXXXXXX", 10);
    lcd.rows[1][0] = 0;
    std::memcpy(lcd.rows[3], "0000000000000000", 16);
    const QImage image = Paint(lcd);

    // 'A' fills dot columns 0..4 and rows 1..7 from the top of its cell.
    EXPECT_EQ(InkBounds(image, RowCell(0, 0)).topLeft(), QPoint(L + 1, T + rowHeight));
    for (int k = 0; k < 4; ++k) {
        for (int column = 0; column < 16; ++column) {
            const int ink = InkCount(image, RowCell(k, column));
            const bool drawn = (k == 0 && column == 0) || (k == 2 && column < 5) || k == 3;
            EXPECT_EQ(ink > 0, drawn) << "row " << k << " cell " << column;
        }
    }
    // The cells after the zero show the background, not what lay there.
    const QRect tail(RowCell(2, 5).topLeft(), QPoint(R - 1, RowCell(2, 5).bottom()));
    EXPECT_EQ(CountOther(image, tail, unlit), 0);
}

TEST(LcdPaint, RowGlyphsAreDrawnFromTheirOwnCodes)
{
    // 0x14 is narrower (12 pixels), so the cell after it starts 12 further.
    LcdImage lcd = WithRows("");
    const uint8_t row[] = {0x00 + 'A', 0x14, 'A', 0x80, 0x01};
    std::memcpy(lcd.rows[1], row, sizeof row);
    const QImage image = Paint(lcd);
    const int y = T + 2 * rowHeight;
    const QRect first = InkBounds(image, QRect(L + 1, y, cell, rowHeight));
    const QRect afterNarrow = InkBounds(image, QRect(L + 1 + cell + 12, y, cell, rowHeight));
    ASSERT_FALSE(first.isNull());
    ASSERT_FALSE(afterNarrow.isNull());
    EXPECT_EQ(afterNarrow.translated(-(cell + 12), 0), first);
    // The padlock, a code below 0x20, is drawn as a glyph, not dropped.
    EXPECT_GT(InkCount(image, QRect(L + 1 + 2 * cell + 12 + cell, y, cell, rowHeight)), 100);
}

// Where each icon's ink begins, right of L, at 96 DPI.
struct IconCase {
    const char* name;
    uint8_t flagsA;
    uint8_t flagsB;
    int x;
    int slack; // a pointed shape's first column is faint
};

constexpr IconCase iconCases[] = {
    {"F", 0x00, 0x01, 2, 0},
    {"padlock", 0x00, 0x08, 28, 0},
    {"G", 0x00, 0x02, 54, 0},
    {"A", 0x00, 0x04, 80, 0},
    {"S", 0x08, 0x00, 112, 0},
    {"one bar", 0x01, 0x00, 130, 0},
    {"battery from 0x10", 0x10, 0x00, 193, 0},
    {"battery from 0x20", 0x20, 0x00, 193, 0},
    {"battery from both", 0x30, 0x00, 193, 0},
    {"up", 0x00, 0x10, 243, 2},
    {"down", 0x00, 0x20, 270, 2},
};

TEST(LcdPaint, EachIconStandsAloneAtItsPlace)
{
    for (const IconCase& c : iconCases) {
        LcdImage lcd = WithRows("");
        lcd.iconFlagsA = c.flagsA;
        lcd.iconFlagsB = c.flagsB;
        const QImage image = Paint(lcd);
        const QRect ink = InkBounds(image, IconBand());
        ASSERT_FALSE(ink.isNull()) << c.name;
        EXPECT_GE(ink.left(), L + c.x) << c.name;
        EXPECT_LE(ink.left(), L + c.x + c.slack) << c.name;
        EXPECT_LE(ink.right(), L + c.x + cell) << c.name;
        EXPECT_GE(ink.top(), T + 1) << c.name;
    }
}

TEST(LcdPaint, BatteryLooksTheSameFromEitherBitOrBoth)
{
    const QRect cellArea(L + 193, T, cell, rowHeight);
    QImage first;
    for (const uint8_t bits : {uint8_t(0x10), uint8_t(0x20), uint8_t(0x30)}) {
        LcdImage lcd = WithRows("");
        lcd.iconFlagsA = bits;
        const QImage image = Paint(lcd).copy(cellArea);
        if (first.isNull()) {
            first = image;
        }
        EXPECT_EQ(image, first) << int(bits);
    }
}

TEST(LcdPaint, BarCountDrawsThatManyRisingBarsOneBarWidthApart)
{
    constexpr int barWidth = 8;
    for (const int count : {0, 1, 5, 7}) {
        LcdImage lcd = WithRows("");
        lcd.iconFlagsA = static_cast<uint8_t>(0xC0 | count); // bits 6 and 7 mean nothing
        const QImage image = Paint(lcd);
        int previousInk = 0;
        for (int i = 0; i < 7; ++i) {
            const QRect slot(L + 130 + i * barWidth, T, barWidth, rowHeight);
            const int ink = InkCount(image, slot);
            if (i < count && i < 5) {
                EXPECT_GT(ink, previousInk) << count << " bars, bar " << i;
                EXPECT_EQ(InkBounds(image, slot).left(), slot.left()) << count << " bars, bar " << i;
            } else if (i >= count) {
                EXPECT_EQ(ink, 0) << count << " bars, slot " << i;
            }
            previousInk = ink;
        }
        if (count == 0) {
            EXPECT_EQ(InkCount(image, IconBand()), 0);
        }
    }
}

TEST(LcdPaint, BacklightAloneLightsTheBackgroundWithoutIcons)
{
    LcdImage lcd = WithRows("");
    lcd.iconFlagsB = 0x40;
    const QImage image = Paint(lcd);
    EXPECT_EQ(CountOther(image, IconBand(), lit), 0);
}

} // namespace
