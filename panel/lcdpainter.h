#pragma once

// Draws the mirrored LCD: the icon row over four rows of 16 characters in the
// program's LCD font, on the backlight colour. Pure functions of the record,
// so that a test renders them into an image and checks pixels.

#include "records.h"

#include <QColor>
#include <QFont>
#include <QPainter>
#include <QRect>

namespace lcdpaint {

// Registers the LCD font from its data (the program's resource
// ":/font/LCDp.ttf") privately, once, and returns the 18-point font.
QFont LoadLcdFont(const QByteArray& fontData);

// The LCD text area: centred over the F2 key, its bottom 10 pixels above it,
// 16 cells wide and five rows tall (an icon row and four character rows).
QRect LayoutLcd(const QFont& font, const QRect& f2Key);

QColor BacklightColour(const LcdImage& lcd);

// One paint pass of the LCD area (left edge - 3 to right edge + 3).
void PaintLcd(QPainter& painter, const QFont& font, const QRect& lcdRect, const LcdImage& lcd);

} // namespace lcdpaint
