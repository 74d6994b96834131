#pragma once

// Draws the mirrored LCD: the icon row over four rows of 16 characters in the
// program's LCD font, on the backlight colour. Pure functions of the record,
// so that a test renders them into an image and checks pixels.
//
// Only the window thread paints; the measurements that every pass needs are
// cached per thread, keyed by the font and the device's resolution, so a pass
// does no font lookup once the first pass has measured.

#include "protocol/records.h"

#include <QByteArray>
#include <QColor>
#include <QFont>
#include <QPainter>
#include <QRect>

class QPaintDevice;

namespace lcdpaint {

// The text that sizes the LCD: sixteen full character cells.
inline constexpr const char* measureText = "1234567890123456";
inline constexpr int rowCount = 4;
inline constexpr int rowLength = 16;
// Bytes are drawn from the private-use block so that no code, not even 0x00
// to 0x1F, is ever taken as a control character by the text layer.
inline constexpr char16_t glyphBase = 0xE000;

inline constexpr QRgb backlightOnRgb = 0xFFFF9927;  // RGB(255, 153, 39)
inline constexpr QRgb backlightOffRgb = 0xFF8CA68B; // RGB(140, 166, 139)

// Registers the LCD font from its data (the program's resource
// ":/font/LCDp.ttf") privately, once per process, and returns the 18-point
// font. If the data cannot be registered, the returned font still names
// "LCDp" and the system's substitute is used; layout and painting measure the
// font they are given, so the panel stays consistent with it.
QFont LoadLcdFont(const QByteArray& fontData);

// The LCD text area: centred over the F2 key, its bottom 10 pixels above it,
// 16 cells wide and five rows tall (an icon row and four character rows).
// The result's left() and top() are L and T; width() is R - L and height()
// is B - T, so R = left() + width() and B = top() + height() are the
// exclusive right and bottom edges. The F2 rectangle is read the same way.
// The first overload measures for the screen, the second for a device.
QRect LayoutLcd(const QFont& font, const QRect& f2Key);
QRect LayoutLcd(const QFont& font, const QRect& f2Key, const QPaintDevice* device);

// Everything one pass of PaintLcd draws on: the text area with its 3-pixel
// frame at each side. A partial repaint of this area shows what a full one
// would, because every pass covers all of it.
QRect PaintedArea(const QRect& lcdRect);

QColor BacklightColour(const LcdImage& lcd);

// What the LCD says about a display that is not current (the radio does not
// answer, its port has gone, LCD polls are off): a short reason, written in
// `font` across the middle rows, over the display drawn unlit and faded, so
// that nobody takes it for what the radio shows now. Empty: the display is
// current and drawn as the radio lights it.
struct LcdMark {
    QString reason;
    QFont font;

    bool operator==(const LcdMark& other) const { return reason == other.reason && font == other.font; }
};

inline constexpr QRgb fadedInkRgb = 0xFF687C67;  // the characters of a display that is not current
inline constexpr QRgb markBandRgb = 0xFF1E261E;  // the band the reason stands on
inline constexpr QRgb markTextRgb = backlightOnRgb;

// The band of a reason: across the whole painted width, over the middle of
// the four character rows.
QRect MarkBand(const QRect& lcdRect);

// One paint pass of the LCD area (left edge - 3 to right edge + 3). Leaves
// the painter's font and pen set to the LCD's, or the mark's.
void PaintLcd(QPainter& painter, const QFont& font, const QRect& lcdRect, const LcdImage& lcd,
              const LcdMark& mark = {});

} // namespace lcdpaint
