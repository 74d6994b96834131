#pragma once

// Turns the status block into the texts and enable states of the status
// fields, and draws the status lamp beside the LCD.

#include "protocol/records.h"
#include "protocol/statustext.h"

#include <QColor>
#include <QPainter>
#include <QRect>
#include <QString>

namespace statuspaint {

// The names, formats and indicator bits are the core's (statustext.h); this
// turns them into the fields' texts and draws the lamp.

inline constexpr QRgb lampRimRgb = 0xFFC0C0C0; // RGB(192, 192, 192)
inline constexpr int lampRimWidth = 3;
inline constexpr int lampDiameter = 40;

// What the status fields show after one pass. Without a valid status every
// field reads "----" and every indicator is off.
struct StatusView {
    QString mode;
    QString battery;
    QString rssi;
    QString centering;
    QString frequency;
    QString modulation;
    bool rfSq = false;
    bool mute = false;
    bool xf = false;
    bool hd5 = false;
    bool hd2 = false;
};

StatusView FormatStatus(const RadioStatus& status);

// The single fields, for callers that show one of them elsewhere.
QString ModeText(uint8_t modeIndex);
QString ModulationText(uint8_t modulationIndex);
QString BatteryText(uint16_t battery);
QString FrequencyText(uint32_t frequencyHz);

QColor LampColour(const RadioStatus& status);

// The lamp's bounding box, right and bottom exclusive as QRect's width and
// height say: (R + 10, T + 1) to (R + 50, T + 41). The lamp paints nothing
// outside it, so the dialog may repaint just this box.
QRect LampArea(int lcdTop, int lcdRight);

// The lamp: a 40-pixel circle at (right + 10, top + 1) with a grey rim,
// black while there is no status. Drawn aliased; the painter's pen, brush
// and render hints are put back afterwards.
void PaintLamp(QPainter& painter, int lcdTop, int lcdRight, const RadioStatus& status);

} // namespace statuspaint
