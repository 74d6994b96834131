#include "panel/lcdpainter.h"

#include "protocol/lcdtext.h"

#include <QFontDatabase>
#include <QFontMetrics>
#include <QPaintDevice>
#include <QString>

#include <array>
#include <cstdint>
#include <mutex>

namespace lcdpaint {

namespace {

// One glyph of the icon row: which icon (its bits and glyph are the core's)
// and where. Its x is L + (cwFactor * cw) / divisor + offset, the division
// applied to the whole product as the layout requires.
struct IconSlot {
    lcdtext::IconId icon = lcdtext::IconId::F;
    int cwFactor = 0;
    int divisor = 1;
    int offset = 0;
};

// Drawn in this order: where cells overlap (a sixth or seventh bar and the
// battery) the later glyph's background covers the earlier glyph. The signal
// bars are a count: each further bar sits one bar width to the right.
constexpr std::array<IconSlot, 9> iconRow{{
    {lcdtext::IconId::G, 3, 1, 0},
    {lcdtext::IconId::A, 9, 2, -1},
    {lcdtext::IconId::S, 6, 1, 4},
    {lcdtext::IconId::F, 0, 1, 2},
    {lcdtext::IconId::Padlock, 3, 2, 1},
    {lcdtext::IconId::Bars, 7, 1, 4},
    {lcdtext::IconId::Battery, 21, 2, 4},
    {lcdtext::IconId::Up, 27, 2, 0},
    {lcdtext::IconId::Down, 15, 1, 0},
}};

constexpr int iconGlyphCount = 0x10;

// What a pass needs from the font, measured once for a font and resolution.
struct Metrics {
    QFont font;
    int dpiX = 0;
    int dpiY = 0;
    bool filled = false;
    int cellWidth = 0; // cw
    int barWidth = 0;  // wb
    int ascent = 0;
    int height = 0;
    std::array<int, iconGlyphCount> iconAdvance{};
    std::array<QString, iconGlyphCount> iconText{};
};

QString GlyphText(int code)
{
    return QString(QChar(static_cast<char16_t>(glyphBase + code)));
}

const Metrics& MetricsFor(const QFont& font, const QPaintDevice* device)
{
    thread_local Metrics cache;
    const int dpiX = device ? device->logicalDpiX() : 0;
    const int dpiY = device ? device->logicalDpiY() : 0;
    if (cache.filled && cache.dpiX == dpiX && cache.dpiY == dpiY && cache.font == font) {
        return cache;
    }
    const QFontMetrics fm = device ? QFontMetrics(font, device) : QFontMetrics(font);
    cache.font = font;
    cache.dpiX = dpiX;
    cache.dpiY = dpiY;
    cache.cellWidth = fm.horizontalAdvance(QString::fromLatin1(measureText)) / rowLength;
    cache.ascent = fm.ascent();
    cache.height = fm.height();
    for (int code = 0; code < iconGlyphCount; ++code) {
        cache.iconText[code] = GlyphText(code);
        cache.iconAdvance[code] = fm.horizontalAdvance(cache.iconText[code]);
    }
    cache.barWidth = cache.iconAdvance[0x03];
    cache.filled = true;
    return cache;
}

// The opaque text of the original: the glyph's advance cell is filled with
// the background first, then the glyph is drawn over it.
void DrawIcon(QPainter& painter, const Metrics& m, const QColor& background, int x, int y, int code)
{
    painter.fillRect(QRect(x, y, m.iconAdvance[code], m.height), background);
    painter.drawText(QPoint(x, y + m.ascent), m.iconText[code]);
}

// The row up to its first zero byte, as private-use characters. The buffer
// is kept between passes so that a pass does not allocate.
const QString& RowText(const uint8_t (&row)[17])
{
    thread_local QString text;
    int length = 0;
    while (length < rowLength && row[length] != 0) {
        ++length;
    }
    text.resize(length);
    QChar* out = text.data();
    for (int i = 0; i < length; ++i) {
        out[i] = QChar(static_cast<char16_t>(glyphBase + row[i]));
    }
    return text;
}

} // namespace

QFont LoadLcdFont(const QByteArray& fontData)
{
    // Registration lasts for the process; a second dialog (or test) must not
    // add the same family again.
    static std::mutex lock;
    static bool registered = false;
    {
        const std::lock_guard<std::mutex> guard(lock);
        if (!registered && !fontData.isEmpty()) {
            registered = QFontDatabase::addApplicationFontFromData(fontData) >= 0;
        }
    }
    QFont font(QStringLiteral("LCDp"));
    font.setPointSize(18);
    // Full hinting rounds each advance to whole pixels as the LCD's layout
    // expects: 18-pixel cells and 8-pixel bars at 96 DPI. Unhinted, the bars
    // advance 8.4 pixels and drift off their cells.
    font.setHintingPreference(QFont::PreferFullHinting);
    font.setKerning(false);
    // A code the font lacks must not be drawn from some other font.
    font.setStyleStrategy(QFont::NoFontMerging);
    return font;
}

QRect LayoutLcd(const QFont& font, const QRect& f2Key)
{
    return LayoutLcd(font, f2Key, nullptr);
}

QRect LayoutLcd(const QFont& font, const QRect& f2Key, const QPaintDevice* device)
{
    const QFontMetrics fm = device ? QFontMetrics(font, device) : QFontMetrics(font);
    const int w = fm.horizontalAdvance(QString::fromLatin1(measureText));
    const int h = fm.height();
    const int fl = f2Key.left();
    const int fr = f2Key.left() + f2Key.width();
    const int left = (fl + fr) / 2 - w / 2;
    const int bottom = f2Key.top() - 10;
    const int top = bottom - 5 * h;
    return QRect(left, top, w, bottom - top);
}

QRect PaintedArea(const QRect& lcdRect)
{
    return QRect(lcdRect.left() - 3, lcdRect.top(), lcdRect.width() + 6, lcdRect.height());
}

QColor BacklightColour(const LcdImage& lcd)
{
    const bool lit = lcdtext::IconBits(lcdtext::IconOf(lcdtext::IconId::Backlight), lcd) != 0;
    return QColor::fromRgb(lit ? backlightOnRgb : backlightOffRgb);
}

QRect MarkBand(const QRect& lcdRect)
{
    const int h = lcdRect.height() / 5;
    return QRect(lcdRect.left() - 3, lcdRect.top() + 2 * h, lcdRect.width() + 6, 2 * h);
}

namespace {

void PaintMark(QPainter& painter, const QRect& lcdRect, const LcdMark& mark)
{
    const QRect band = MarkBand(lcdRect);
    painter.fillRect(band, QColor::fromRgb(markBandRgb));
    painter.setFont(mark.font);
    painter.setPen(QColor::fromRgb(markTextRgb));
    // Two lines at most: a long port name wraps rather than leave the band.
    painter.drawText(band.adjusted(6, 2, -6, -2), Qt::AlignCenter | Qt::TextWordWrap, mark.reason);
}

} // namespace

void PaintLcd(QPainter& painter, const QFont& font, const QRect& lcdRect, const LcdImage& lcd, const LcdMark& mark)
{
    // A display that is not current is drawn unlit whatever the radio's
    // backlight was, its characters faded.
    const bool marked = !mark.reason.isEmpty();
    const QColor background = marked ? QColor::fromRgb(backlightOffRgb) : BacklightColour(lcd);
    const QColor ink = marked ? QColor::fromRgb(fadedInkRgb) : QColor(Qt::black);
    if (!lcd.lcdValid) {
        painter.fillRect(PaintedArea(lcdRect), background);
        if (marked) {
            PaintMark(painter, lcdRect, mark);
        }
        return;
    }
    const Metrics& m = MetricsFor(font, painter.device());
    const int l = lcdRect.left();
    const int t = lcdRect.top();
    const int r = l + lcdRect.width();
    const int b = t + lcdRect.height();
    const int h = (b - t) / 5;
    const int cw = m.cellWidth;

    painter.fillRect(QRect(l - 3, t, r - l + 6, h), background);
    painter.fillRect(QRect(l - 3, t + h, 4, b - t - h), background);
    painter.fillRect(QRect(r, t + h, 3, b - t - h), background);

    painter.setFont(font);
    painter.setPen(ink);
    painter.setBackgroundMode(Qt::TransparentMode);

    const int iconY = t + 1;
    for (const IconSlot& slot : iconRow) {
        const lcdtext::Icon& icon = lcdtext::IconOf(slot.icon);
        const int x = l + (slot.cwFactor * cw) / slot.divisor + slot.offset;
        if (slot.icon == lcdtext::IconId::Bars) {
            const int count = lcdtext::SignalBars(lcd);
            for (int i = 0; i < count; ++i) {
                DrawIcon(painter, m, background, x + i * m.barWidth, iconY, icon.glyph + i);
            }
        } else if (lcdtext::IconBits(icon, lcd) != 0) {
            DrawIcon(painter, m, background, x, iconY, icon.glyph);
        }
    }

    // One fill under all four rows stands for the opaque background of each
    // character and also covers the cells after a row's terminating zero.
    // Left unpainted, those cells would keep the characters of an earlier
    // display (or show the dialog's grey), and a repaint of only this area
    // would not match a full one.
    painter.fillRect(QRect(l + 1, t + h, r - l - 1, b - t - h), background);
    for (int k = 0; k < rowCount; ++k) {
        painter.drawText(QPoint(l + 1, t + (k + 1) * h + m.ascent), RowText(lcd.rows[k]));
    }
    if (marked) {
        PaintMark(painter, lcdRect, mark);
    }
}

} // namespace lcdpaint
