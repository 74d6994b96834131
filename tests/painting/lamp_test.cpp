// The status lamp rendered into images at 96 DPI and read back by pixels.

#include "panel/statuspainter.h"
#include "painttestsupport.h"

#include <gtest/gtest.h>

namespace {

using namespace painttest;

constexpr int T = 170;
constexpr int R = 374;
constexpr QRgb rim = 0xFFC0C0C0;

RadioStatus Lamp(uint8_t red, uint8_t green, uint8_t blue, bool valid = true)
{
    RadioStatus status;
    status.block[8] = red;
    status.block[9] = green;
    status.block[10] = blue;
    status.statusValid = valid;
    return status;
}

QImage Paint(const RadioStatus& status)
{
    QImage image = MakeImage(500, 300);
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing, true);
    statuspaint::PaintLamp(painter, T, R, status);
    return image;
}

TEST(StatusLamp, FillsWithTheReportedColourUsingTheLowFourBlueBits)
{
    struct Case {
        RadioStatus status;
        QRgb fill;
    };
    const Case cases[] = {
        {Lamp(255, 0, 0x1F), 0xFFFF00F0},
        {Lamp(0, 0, 0xF0), 0xFF000000},
        {Lamp(10, 20, 0x0A), 0xFF0A14A0},
        {Lamp(255, 255, 255, false), 0xFF000000},
    };
    for (const Case& c : cases) {
        const QImage image = Paint(c.status);
        const QRect inner(R + 20, T + 11, 20, 20);
        EXPECT_EQ(CountOther(image, inner, c.fill), 0) << std::hex << c.fill;
    }
}

TEST(StatusLamp, RimIsGreyThreePixelsWideAtTheBoxEdge)
{
    const QImage image = Paint(Lamp(0, 255, 0));
    const QRgb green = 0xFF00FF00;
    // Top, bottom, left and right of the circle, from the box edge inwards.
    struct Probe {
        QPoint edge;
        QPoint inward;
    };
    const Probe probes[] = {
        {{R + 30, T + 1}, {0, 1}},
        {{R + 29, T + 40}, {0, -1}},
        {{R + 10, T + 21}, {1, 0}},
        {{R + 49, T + 20}, {-1, 0}},
    };
    for (const Probe& p : probes) {
        for (int i = 0; i < 3; ++i) {
            EXPECT_EQ(image.pixel(p.edge + i * p.inward), rim) << p.edge.x() << "," << p.edge.y() << " +" << i;
        }
        EXPECT_EQ(image.pixel(p.edge + 4 * p.inward), green) << p.edge.x() << "," << p.edge.y();
    }
}

TEST(StatusLamp, DrawsNothingOutsideItsBoxAndLeavesThePainterAsItWas)
{
    QImage image = MakeImage(500, 300);
    QPainter painter(&image);
    const QPen pen(Qt::red, 7);
    painter.setPen(pen);
    painter.setBrush(Qt::blue);
    painter.setRenderHint(QPainter::Antialiasing, true);
    statuspaint::PaintLamp(painter, T, R, Lamp(1, 2, 3));
    EXPECT_EQ(painter.pen(), pen);
    EXPECT_EQ(painter.brush(), QBrush(Qt::blue));
    EXPECT_TRUE(painter.testRenderHint(QPainter::Antialiasing));
    painter.end();

    const QRect box = statuspaint::LampArea(T, R);
    EXPECT_EQ(box, QRect(R + 10, T + 1, 40, 40));
    int outside = 0;
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x) {
            outside += (!box.contains(x, y) && image.pixel(x, y) != sentinel) ? 1 : 0;
        }
    }
    EXPECT_EQ(outside, 0);
    // A circle leaves the box's corners alone, and being aliased it mixes no
    // colours: every painted pixel is rim or fill.
    EXPECT_EQ(image.pixel(box.topLeft()), sentinel);
    EXPECT_EQ(image.pixel(box.bottomRight()), sentinel);
    const QRgb fill = 0xFF010230;
    int mixed = 0;
    for (int y = box.top(); y <= box.bottom(); ++y) {
        for (int x = box.left(); x <= box.right(); ++x) {
            const QRgb p = image.pixel(x, y);
            mixed += (p != sentinel && p != rim && p != fill) ? 1 : 0;
        }
    }
    EXPECT_EQ(mixed, 0);
}

} // namespace
