// The LCD font as the painters rely on it: its grid, its advances, the two
// ways each byte reaches its glyph, and the dot matrix it draws.

#include "panel/lcdpainter.h"
#include "painttestsupport.h"

#include <QFontInfo>
#include <QPainter>
#include <QRawFont>

#include <gtest/gtest.h>

#include <set>

namespace {

using namespace painttest;

QRawFont RawFont()
{
    return QRawFont(FontData(), 24);
}

quint32 GlyphOf(const QRawFont& font, char16_t code)
{
    const QList<quint32> glyphs = font.glyphIndexesForString(QString(QChar(code)));
    return glyphs.isEmpty() ? 0 : glyphs.front();
}

TEST(LcdFontFile, HasTheFamilyAndGridThePainterMeasures)
{
    const QRawFont font = RawFont();
    ASSERT_TRUE(font.isValid()) << "cannot read " << OSTRELLE_LCD_FONT_FILE;
    EXPECT_EQ(font.familyName(), QStringLiteral("LCDp"));
    EXPECT_DOUBLE_EQ(font.unitsPerEm(), 40.0);
    EXPECT_DOUBLE_EQ(font.ascent(), 24.0);
    EXPECT_DOUBLE_EQ(font.descent(), 0.0);
}

TEST(LcdFontFile, EveryByteAndItsPrivateUseTwinShareOneDistinctGlyph)
{
    const QRawFont font = RawFont();
    ASSERT_TRUE(font.isValid());
    std::set<quint32> seen;
    for (int v = 0; v < 256; ++v) {
        const quint32 plain = GlyphOf(font, static_cast<char16_t>(v));
        const quint32 twin = GlyphOf(font, static_cast<char16_t>(lcdpaint::glyphBase + v));
        EXPECT_NE(twin, 0u) << "code " << v << " has no glyph";
        EXPECT_EQ(plain, twin) << "code " << v;
        seen.insert(twin);
    }
    EXPECT_EQ(seen.size(), 256u);
}

TEST(LcdFontFile, AdvancesAreFullCellsExceptBarsAndCode14)
{
    struct Case {
        int code;
        double pixels; // at 24 pixels to the em
    };
    const Case cases[] = {
        {0x00, 18.0}, {0x01, 18.0}, {0x02, 18.0}, {0x03, 8.4}, {0x05, 8.4}, {0x07, 8.4},
        {0x08, 18.0}, {0x14, 12.0}, {'0', 18.0},  {'A', 18.0}, {0x80, 18.0}, {0xFF, 18.0},
    };
    const QRawFont font = RawFont();
    ASSERT_TRUE(font.isValid());
    for (const Case& c : cases) {
        const QList<quint32> glyph{GlyphOf(font, static_cast<char16_t>(lcdpaint::glyphBase + c.code))};
        const QList<QPointF> advance = font.advancesForGlyphIndexes(glyph, QRawFont::UseDesignMetrics);
        ASSERT_EQ(advance.size(), 1);
        EXPECT_NEAR(advance.front().x(), c.pixels, 0.01) << "code " << c.code;
    }
}

TEST(LcdFontLoaded, MeasuresEighteenPixelCellsAndEightPixelBarsAt96Dpi)
{
    const QImage image = MakeImage(4, 4);
    const QFont font = LcdFont();
    EXPECT_EQ(QFontInfo(font).family(), QStringLiteral("LCDp"));
    const QFontMetrics fm(font, &image);
    EXPECT_EQ(fm.horizontalAdvance(QString::fromLatin1(lcdpaint::measureText)), 288);
    EXPECT_EQ(fm.height(), 24);
    EXPECT_EQ(fm.ascent(), 24);
    QString bars;
    for (int code = 0x03; code <= 0x07; ++code) {
        bars += QChar(static_cast<char16_t>(lcdpaint::glyphBase + code));
    }
    // Whole-pixel bars keep the five of them on their 8-pixel slots.
    EXPECT_EQ(fm.horizontalAdvance(bars), 5 * 8);
}

TEST(LcdFontLoaded, LoadingTwiceGivesTheSameFont)
{
    EXPECT_EQ(lcdpaint::LoadLcdFont(FontData()), LcdFont());
}

// Seven rows of five dots, top row first, as the glyph source draws them.
struct DotGlyph {
    int code;
    const char* rows[7];
};

constexpr DotGlyph dotGlyphs[] = {
    {'A', {".###.", "#...#", "#...#", "#...#", "#####", "#...#", "#...#"}},
    {'0', {".###.", "#...#", "#..##", "#.#.#", "##..#", "#...#", ".###."}},
    {0x80, {".###.", "#...#", "#....", "#...#", ".###.", "..#..", ".##.."}},
};

TEST(LcdFontLoaded, GlyphsShowTheirDotMatrixAtTheDotCentres)
{
    // A dot is 4 units on a 5-unit pitch: 2.4 pixels on a 3-pixel pitch at
    // 24 pixels to the em, so the pixel at 3c + 1, 3r + 1 lies inside dot
    // (r, c), counting rows from the top of the cell.
    const QPoint origin(10, 10);
    for (const DotGlyph& glyph : dotGlyphs) {
        QImage image = MakeImage(60, 50, 0xFFFFFFFF);
        {
            QPainter painter(&image);
            painter.setFont(LcdFont());
            painter.setPen(Qt::black);
            painter.drawText(origin + QPoint(0, 24),
                             QString(QChar(static_cast<char16_t>(lcdpaint::glyphBase + glyph.code))));
        }
        for (int r = 0; r < 7; ++r) {
            for (int c = 0; c < 5; ++c) {
                const QPoint centre = origin + QPoint(3 * c + 1, 3 * r + 1);
                EXPECT_EQ(IsInk(image.pixel(centre)), glyph.rows[r][c] == '#')
                    << "code " << glyph.code << " dot row " << r << " column " << c;
            }
        }
        // The band under the dots and the strip beside them stay dark.
        EXPECT_EQ(InkCount(image, QRect(origin + QPoint(0, 21), QSize(18, 3))), 0) << glyph.code;
        EXPECT_EQ(InkCount(image, QRect(origin + QPoint(15, 0), QSize(3, 24))), 0) << glyph.code;
    }
}

} // namespace
