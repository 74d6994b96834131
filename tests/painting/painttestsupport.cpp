#include "painttestsupport.h"

#include "panel/lcdpainter.h"

#include <QFile>

namespace painttest {

QByteArray FontData()
{
    QFile file(QStringLiteral(OSTRELLE_LCD_FONT_FILE));
    if (!file.open(QIODevice::ReadOnly)) {
        return {};
    }
    return file.readAll();
}

QFont LcdFont()
{
    static const QFont font = lcdpaint::LoadLcdFont(FontData());
    return font;
}

QImage MakeImage(int width, int height, QRgb fill)
{
    QImage image(width, height, QImage::Format_RGB32);
    image.setDotsPerMeterX(3780);
    image.setDotsPerMeterY(3780);
    image.fill(fill);
    return image;
}

QRect F2Key()
{
    return QRect(200, 300, 60, 30);
}

QRect TestLcdRect()
{
    // (200 + 260) / 2 - 288 / 2 = 86; bottom 300 - 10 = 290; top 290 - 120.
    return QRect(86, 170, 288, 120);
}

bool IsInk(QRgb pixel)
{
    return qGray(pixel) < 64;
}

int InkCount(const QImage& image, const QRect& area)
{
    int count = 0;
    for (int y = area.top(); y <= area.bottom(); ++y) {
        for (int x = area.left(); x <= area.right(); ++x) {
            count += IsInk(image.pixel(x, y)) ? 1 : 0;
        }
    }
    return count;
}

QRect InkBounds(const QImage& image, const QRect& area)
{
    QRect bounds;
    for (int y = area.top(); y <= area.bottom(); ++y) {
        for (int x = area.left(); x <= area.right(); ++x) {
            if (IsInk(image.pixel(x, y))) {
                bounds |= QRect(x, y, 1, 1);
            }
        }
    }
    return bounds;
}

int CountOther(const QImage& image, const QRect& area, QRgb colour)
{
    int count = 0;
    for (int y = area.top(); y <= area.bottom(); ++y) {
        for (int x = area.left(); x <= area.right(); ++x) {
            count += (image.pixel(x, y) | 0xFF000000u) != (colour | 0xFF000000u) ? 1 : 0;
        }
    }
    return count;
}

} // namespace painttest
