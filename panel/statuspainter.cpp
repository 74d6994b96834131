#include "statuspainter.h"

namespace statuspaint {

StatusView FormatStatus(const RadioStatus& status)
{
    StatusView view;
    view.mode = status.statusValid ? QString::number(status.modeIndex()) : QStringLiteral("----");
    view.battery = QStringLiteral("----");
    view.rssi = QStringLiteral("----");
    view.centering = QStringLiteral("----");
    view.touchesKeptFields = status.statusValid;
    return view;
}

QColor LampColour(const RadioStatus& status)
{
    if (!status.statusValid) {
        return Qt::black;
    }
    return QColor(status.lampRed(), status.lampGreen(), (status.lampBlue() << 4) & 0xFF);
}

void PaintLamp(QPainter& painter, int lcdTop, int lcdRight, const RadioStatus& status)
{
    painter.setPen(QPen(QColor(192, 192, 192), 3));
    painter.setBrush(LampColour(status));
    painter.drawEllipse(QRect(lcdRight + 10, lcdTop + 1, 40, 40));
}

} // namespace statuspaint
