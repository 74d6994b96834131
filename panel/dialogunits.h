#pragma once

#include <QFont>
#include <QRect>

// The dialog templates are drawn in dialog units of an 8-point "MS Sans Serif"
// at 96 DPI: 4 horizontal units are 6 pixels, 8 vertical units 13 pixels. Each
// edge is converted on its own, halves rounded up, the way the platform's own
// dialog manager places controls, so that neighbouring controls never gain or
// lose a pixel between them.
namespace dlu {

// Template coordinates are never negative, so adding half the divisor before
// the truncating division rounds halves up.
constexpr int X(int units)
{
    return (units * 6 + 2) / 4;
}

constexpr int Y(int units)
{
    return (units * 13 + 4) / 8;
}

// A template rectangle x, y, width, height in dialog units, in pixels.
inline QRect Rect(int x, int y, int width, int height)
{
    return QRect(QPoint(X(x), Y(y)), QPoint(X(x + width) - 1, Y(y + height) - 1));
}

// The templates' font at the pixel height of 8 points at 96 DPI: Liberation
// Sans, whose letters are as wide as Arial's and so about as wide as those the
// templates were laid out for; the default sans face is a fifth wider and
// clips captions. Where it is missing, the nearest sans face stands in.
inline QFont TemplateFont()
{
    QFont font(QStringLiteral("Liberation Sans"));
    font.setStyleHint(QFont::SansSerif);
    font.setPixelSize(11);
    return font;
}

} // namespace dlu
