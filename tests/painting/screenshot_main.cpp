// Renders the LCD and the status lamp as they mirror a radio into a PNG, for
// the documentation and for people to check the painting by eye.
//
//   panel_screenshot <output.png>
//
// QT_SCALE_FACTOR (for example 2) renders at that device pixel ratio, as the
// window would be drawn on a high-density screen.

#include "panel/lcdpainter.h"
#include "sampleradio.h"
#include "panel/statuspainter.h"

#include <QFile>
#include <QGuiApplication>
#include <QImage>
#include <QPainter>

#include <cstdio>

int main(int argc, char** argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    // The scale is applied to the image below; the application itself must
    // not scale again.
    const double scale = qEnvironmentVariableIsEmpty("QT_SCALE_FACTOR")
                             ? 1.0
                             : qEnvironmentVariable("QT_SCALE_FACTOR").toDouble();
    qunsetenv("QT_SCALE_FACTOR");
    QGuiApplication app(argc, argv);
    if (argc != 2 || scale <= 0.0) {
        std::fprintf(stderr, "usage: panel_screenshot <output.png> (QT_SCALE_FACTOR > 0)\n");
        return 2;
    }
    QFile fontFile(QStringLiteral(OSTRELLE_LCD_FONT_FILE));
    if (!fontFile.open(QIODevice::ReadOnly)) {
        std::fprintf(stderr, "panel_screenshot: cannot read the LCD font %s\n", OSTRELLE_LCD_FONT_FILE);
        return 1;
    }
    const QFont font = lcdpaint::LoadLcdFont(fontFile.readAll());

    const QSize logical(400, 200);
    QImage image(logical * scale, QImage::Format_RGB32);
    image.setDevicePixelRatio(scale);
    image.setDotsPerMeterX(3780);
    image.setDotsPerMeterY(3780);
    image.fill(QColor(240, 240, 240));

    QPainter painter(&image);
    const QRect f2Key(134, 150, 60, 24);
    const QRect lcdRect = lcdpaint::LayoutLcd(font, f2Key, &image);
    const LcdImage lcd = sampleradio::Display();
    const RadioStatus status = sampleradio::Status();
    lcdpaint::PaintLcd(painter, font, lcdRect, lcd);
    const int right = lcdRect.left() + lcdRect.width();
    statuspaint::PaintLamp(painter, lcdRect.top(), right, status);

    // The F2 key the LCD is placed by, and a line of the status texts.
    painter.setFont(QFont());
    painter.setPen(Qt::black);
    painter.setBrush(QColor(225, 225, 225));
    painter.drawRect(f2Key.adjusted(0, 0, -1, -1));
    painter.drawText(f2Key, Qt::AlignCenter, QStringLiteral("F2"));
    const statuspaint::StatusView view = statuspaint::FormatStatus(status);
    painter.drawText(QRect(10, f2Key.bottom() + 4, logical.width() - 20, 20), Qt::AlignLeft,
                     view.mode + QStringLiteral("  ") + view.battery + QStringLiteral("  RSSI ") + view.rssi +
                         QStringLiteral("  ") + view.frequency + QStringLiteral(" ") + view.modulation);
    painter.end();

    if (!image.save(QString::fromLocal8Bit(argv[1]), "PNG")) {
        std::fprintf(stderr, "panel_screenshot: cannot write %s\n", argv[1]);
        return 1;
    }
    return 0;
}
