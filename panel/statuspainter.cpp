#include "statuspainter.h"

#include <QPen>

#include <cstdio>

namespace statuspaint {

namespace {

// The tables as shared QStrings, built once, so that a pass hands out
// references rather than building the same texts again.
template <std::size_t N>
std::array<QString, N> ToStrings(const std::array<const char*, N>& names)
{
    std::array<QString, N> out;
    for (std::size_t i = 0; i < N; ++i) {
        out[i] = QString::fromLatin1(names[i]);
    }
    return out;
}

template <std::size_t N>
QString Lookup(const std::array<const char*, N>& names, unsigned index)
{
    static const std::array<QString, N> texts = ToStrings(names);
    return index < N ? texts[index] : QString::fromLatin1(placeholder);
}

} // namespace

QString ModeText(uint8_t modeIndex)
{
    return Lookup(modeNames, modeIndex);
}

QString ModulationText(uint8_t modulationIndex)
{
    return Lookup(modulationNames, modulationIndex);
}

QString BatteryText(uint16_t battery)
{
    const unsigned v = battery & 0x7FFFu;
    char text[24] = {};
    const int n = std::snprintf(text, sizeof text, "%u.%02u V%s", v / 100, v % 100,
                                (battery & 0x8000u) ? " ex" : "");
    return QString::fromLatin1(text, n);
}

QString FrequencyText(uint32_t frequencyHz)
{
    // Unsigned throughout, so the largest value reads 4294.967295 instead of
    // a negative number.
    char text[24] = {};
    const int n = std::snprintf(text, sizeof text, "%lu.%06lu",
                                static_cast<unsigned long>(frequencyHz / 1000000u),
                                static_cast<unsigned long>(frequencyHz % 1000000u));
    return QString::fromLatin1(text, n);
}

StatusView FormatStatus(const RadioStatus& status)
{
    StatusView view;
    if (!status.statusValid) {
        const QString none = QString::fromLatin1(placeholder);
        view.mode = none;
        view.battery = none;
        view.rssi = none;
        view.centering = none;
        view.rfSq = false;
        view.mute = false;
        view.touchesKeptFields = false;
        return view;
    }
    const uint8_t flags = status.indicatorFlags();
    view.mode = ModeText(status.modeIndex());
    view.rfSq = (flags & 0x01) != 0;
    view.mute = (flags & 0x02) == 0;
    view.xf = (flags & 0x04) != 0;
    view.hd2 = (flags & 0x08) != 0;
    view.hd5 = (flags & 0x10) != 0;
    view.battery = BatteryText(status.battery());
    view.rssi = QString::number(status.rssi());
    view.centering = QString::number(status.centering());
    view.frequency = FrequencyText(status.frequencyHz());
    view.modulation = ModulationText(status.modulationIndex());
    view.touchesKeptFields = true;
    return view;
}

QColor LampColour(const RadioStatus& status)
{
    if (!status.statusValid) {
        return QColor(0, 0, 0);
    }
    return QColor(status.lampRed(), status.lampGreen(), (status.lampBlue() << 4) & 0xFF);
}

QRect LampArea(int lcdTop, int lcdRight)
{
    return QRect(lcdRight + 10, lcdTop + 1, lampDiameter, lampDiameter);
}

void PaintLamp(QPainter& painter, int lcdTop, int lcdRight, const RadioStatus& status)
{
    const QPen oldPen = painter.pen();
    const QBrush oldBrush = painter.brush();
    const bool wasAntialiased = painter.testRenderHint(QPainter::Antialiasing);

    painter.setRenderHint(QPainter::Antialiasing, false);
    painter.setPen(QPen(QColor::fromRgb(lampRimRgb), lampRimWidth));
    painter.setBrush(LampColour(status));
    // Qt strokes on the path, half the pen each side of it; the outline is
    // pulled in by half the pen so that the rim's outer edge is the box's
    // edge, as the box-inside ellipse of the original draws it.
    const qreal inset = lampRimWidth / 2.0;
    const QRectF box(LampArea(lcdTop, lcdRight));
    painter.drawEllipse(box.adjusted(inset, inset, -inset, -inset));

    painter.setRenderHint(QPainter::Antialiasing, wasAntialiased);
    painter.setBrush(oldBrush);
    painter.setPen(oldPen);
}

} // namespace statuspaint
