#include "panel/statuspainter.h"

#include <QPen>

#include <array>

namespace statuspaint {

QString ModeText(uint8_t modeIndex)
{
    return QString::fromLatin1(statustext::ModeText(modeIndex));
}

QString ModulationText(uint8_t modulationIndex)
{
    return QString::fromLatin1(statustext::ModulationText(modulationIndex));
}

QString BatteryText(uint16_t battery)
{
    return QString::fromLatin1(statustext::BatteryText(battery));
}

QString FrequencyText(uint32_t frequencyHz)
{
    return QString::fromLatin1(statustext::FrequencyText(frequencyHz));
}

StatusView FormatStatus(const RadioStatus& status)
{
    const statustext::StatusTexts texts = statustext::FormatStatusTexts(status);
    StatusView view;
    view.mode = QString::fromLatin1(texts.mode);
    view.battery = QString::fromLatin1(texts.battery);
    view.rssi = QString::fromLatin1(texts.rssi);
    view.centering = QString::fromLatin1(texts.centering);
    if (!texts.valid) {
        // No status, no frequency either: a frequency and lit indicators
        // kept from the last status would pass for the radio's present ones.
        view.frequency = QString::fromLatin1(statustext::placeholder);
        view.modulation = QString::fromLatin1(statustext::placeholder);
        return view;
    }
    view.frequency = QString::fromLatin1(texts.frequency);
    view.modulation = QString::fromLatin1(texts.modulation);
    // The fields of the indicators, in the order of the core's list.
    constexpr std::array<bool StatusView::*, statustext::indicators.size()> lit{
        &StatusView::rfSq, &StatusView::mute, &StatusView::xf, &StatusView::hd5, &StatusView::hd2};
    const uint8_t flags = status.indicatorFlags();
    for (std::size_t i = 0; i < lit.size(); ++i) {
        view.*lit[i] = statustext::IndicatorLit(statustext::indicators[i], flags);
    }
    return view;
}

QColor LampColour(const RadioStatus& status)
{
    const statustext::LampRgb rgb = statustext::LampColour(status);
    return QColor(rgb.red, rgb.green, rgb.blue);
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
