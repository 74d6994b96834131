#pragma once

// Turns the status block into the texts and enable states of the status
// fields, and draws the status lamp beside the LCD.

#include "records.h"

#include <QColor>
#include <QPainter>
#include <QString>

namespace statuspaint {

// What the status fields show after one pass. When the status is not valid,
// only mode, battery, RSSI, centering and the RF SQ / MUTE indicators change;
// the other fields keep what they showed (touchesKeptFields is false).
struct StatusView {
    QString mode;
    QString battery;
    QString rssi;
    QString centering;
    QString frequency;
    QString modulation;
    bool rfSq = false; // 1046
    bool mute = false; // 1044
    bool xf = false;   // 1047
    bool hd5 = false;  // 1048
    bool hd2 = false;  // 1049
    bool touchesKeptFields = false;
};

StatusView FormatStatus(const RadioStatus& status);

QColor LampColour(const RadioStatus& status);

// The lamp: a 40-pixel circle at (right + 10, top + 1) with a grey rim,
// black while there is no status.
void PaintLamp(QPainter& painter, int lcdTop, int lcdRight, const RadioStatus& status);

} // namespace statuspaint
