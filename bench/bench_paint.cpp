// The cost of one paint pass of the panel: the LCD, the status lamp and the
// status texts, into an offscreen image the size of the dialog. The window
// repaints after every poll reply, about 90 times a second while the link
// runs, so a pass must stay far below a millisecond.

#include "panel/lcdpainter.h"
#include "panel/statuspainter.h"

#include <QFile>
#include <QFontMetrics>
#include <QGuiApplication>
#include <QImage>
#include <QPainter>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>

namespace {

using Clock = std::chrono::steady_clock;

// Runs body passes times and prints the mean time of one pass.
void Measure(const char* name, int passes, const std::function<void(int)>& body)
{
    body(0); // the first pass fills the caches; it is not what a repaint costs
    const auto start = Clock::now();
    for (int i = 0; i < passes; ++i) {
        body(i);
    }
    const double us = std::chrono::duration<double, std::micro>(Clock::now() - start).count() / passes;
    std::printf("%-44s %9.2f us/pass  %9.0f passes/s\n", name, us, 1e6 / us);
}

LcdImage SampleDisplay()
{
    LcdImage lcd;
    const char* rows[4] = {"SCAN    Bank 1 2", "Police Dispatch ", " 162.5500   NFM ", "\x01 Ch 012  RSSI 3"};
    for (int k = 0; k < 4; ++k) {
        std::memcpy(lcd.rows[k], rows[k], 16);
    }
    lcd.iconFlagsA = 0x1D;
    lcd.iconFlagsB = 0x5A;
    lcd.lcdValid = true;
    return lcd;
}

} // namespace

int main(int argc, char** argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    QGuiApplication app(argc, argv);
    const int passes = argc > 1 ? static_cast<int>(std::strtol(argv[1], nullptr, 10)) : 10000;
    if (passes <= 0) {
        std::fprintf(stderr, "usage: bench_paint [passes > 0]\n");
        return 2;
    }
    QFile fontFile(QStringLiteral(OSTRELLE_LCD_FONT_FILE));
    if (!fontFile.open(QIODevice::ReadOnly)) {
        std::fprintf(stderr, "bench_paint: cannot read the LCD font %s\n", OSTRELLE_LCD_FONT_FILE);
        return 1;
    }
    const QFont font = lcdpaint::LoadLcdFont(fontFile.readAll());

    QImage image(640, 480, QImage::Format_RGB32);
    image.setDotsPerMeterX(3780);
    image.setDotsPerMeterY(3780);
    image.fill(Qt::lightGray);
    const QRect lcdRect = lcdpaint::LayoutLcd(font, QRect(290, 300, 60, 30), &image);
    const int right = lcdRect.left() + lcdRect.width();

    LcdImage lcd = SampleDisplay();
    RadioStatus status;
    status.statusValid = true;
    status.block[0] = 1;
    status.block[2] = 0xDF;
    status.block[3] = 0x02;

    std::printf("%d passes, image %dx%d, LCD %dx%d at (%d,%d)\n", passes, image.width(), image.height(),
                lcdRect.width(), lcdRect.height(), lcdRect.left(), lcdRect.top());

    QPainter painter(&image);
    Measure("full pass (LCD + lamp + status texts)", passes, [&](int i) {
        // A new display and status each pass, as the poll replies bring.
        lcd.rows[2][1] = static_cast<uint8_t>('0' + i % 10);
        lcd.iconFlagsA = static_cast<uint8_t>(0x18 | (i % 8));
        status.block[4] = static_cast<uint8_t>(i);
        status.block[11] = static_cast<uint8_t>(i);
        lcdpaint::PaintLcd(painter, font, lcdRect, lcd);
        const statuspaint::StatusView view = statuspaint::FormatStatus(status);
        statuspaint::PaintLamp(painter, lcdRect.top(), right, status);
        if (view.mode.isEmpty()) {
            std::abort();
        }
    });
    Measure("LCD only", passes, [&](int) { lcdpaint::PaintLcd(painter, font, lcdRect, lcd); });
    LcdImage empty = lcd;
    empty.lcdValid = false;
    Measure("LCD without a display (one fill)", passes, [&](int) { lcdpaint::PaintLcd(painter, font, lcdRect, empty); });
    Measure("lamp only", passes, [&](int) { statuspaint::PaintLamp(painter, lcdRect.top(), right, status); });
    Measure("status texts only", passes, [&](int) {
        if (statuspaint::FormatStatus(status).battery.isEmpty()) {
            std::abort();
        }
    });
    // What measuring the font on every pass would add, which the painter's
    // per-font cache saves.
    Measure("font measuring a pass would need (saved)", passes, [&](int) {
        const QFontMetrics fm(font, &image);
        if (fm.horizontalAdvance(QString::fromLatin1(lcdpaint::measureText)) +
                fm.horizontalAdvance(QString(QChar(static_cast<char16_t>(lcdpaint::glyphBase + 3)))) <= 0) {
            std::abort();
        }
    });
    painter.end();
    return 0;
}
