#pragma once

// Shared pieces of the painting tests: the LCD font from the source tree,
// images at the screen's 96 DPI, and pixel questions about them.

#include <QByteArray>
#include <QFont>
#include <QImage>
#include <QRect>

namespace painttest {

inline constexpr QRgb sentinel = 0xFFFF00FF; // magenta: "nothing painted here"
inline constexpr int cell = 18;              // cw at 96 DPI
inline constexpr int rowHeight = 24;         // h at 96 DPI

QByteArray FontData();
QFont LcdFont();

// An RGB32 image of 96 DPI (3780 dots per metre), filled with one colour.
QImage MakeImage(int width, int height, QRgb fill = sentinel);

// The F2 key and the LCD rectangle the tests place around it.
QRect F2Key();
QRect TestLcdRect();

bool IsInk(QRgb pixel);
int InkCount(const QImage& image, const QRect& area);
// The smallest rectangle around the ink in area; null when there is none.
QRect InkBounds(const QImage& image, const QRect& area);
// Pixels in area that are not of the given colour.
int CountOther(const QImage& image, const QRect& area, QRgb colour);

} // namespace painttest
