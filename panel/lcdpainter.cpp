#include "lcdpainter.h"

namespace lcdpaint {

QFont LoadLcdFont(const QByteArray&)
{
    return QFont();
}

QRect LayoutLcd(const QFont&, const QRect& f2Key)
{
    const int b = f2Key.top() - 10;
    const int l = (f2Key.left() + f2Key.left() + f2Key.width()) / 2 - 144;
    return QRect(QPoint(l, b - 120), QPoint(l + 288 - 1, b - 1));
}

QColor BacklightColour(const LcdImage& lcd)
{
    return (lcd.iconFlagsB & 0x40) ? QColor(255, 153, 39) : QColor(140, 166, 139);
}

void PaintLcd(QPainter& painter, const QFont& font, const QRect& lcdRect, const LcdImage& lcd)
{
    painter.fillRect(lcdRect.adjusted(-3, 0, 3, 0), BacklightColour(lcd));
    if (!lcd.lcdValid) {
        return;
    }
    painter.setFont(font);
    for (int k = 0; k < 4; ++k) {
        painter.drawText(lcdRect.left() + 1, lcdRect.top() + (k + 2) * 24 - 4,
                         QString::fromLatin1(reinterpret_cast<const char*>(lcd.rows[k])));
    }
}

} // namespace lcdpaint
