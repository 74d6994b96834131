#pragma once

// A display and a status block as a radio in scan mode would report them,
// for the pictures and the benchmark.

#include "protocol/records.h"

#include <cstring>

namespace sampleradio {

inline LcdImage Display()
{
    LcdImage lcd;
    const char* rows[4] = {"SCAN    Bank 1 2", "Police Dispatch ", " 162.5500   NFM ", "\x01 Ch 012 \x82t\x81 \x80  "};
    // Every row is 16 characters: the copy takes that many of each.
    for (int k = 0; k < 4; ++k) {
        std::memcpy(lcd.rows[k], rows[k], 16);
    }
    lcd.iconFlagsA = 0x08 | 0x05 | 0x10;        // S, five bars, battery
    lcd.iconFlagsB = 0x02 | 0x08 | 0x10 | 0x40; // G, padlock, up, backlight
    lcd.lcdValid = true;
    return lcd;
}

// Mode SCAN, RF SQ, 7.35 V, RSSI 300, centering 10, a green lamp,
// 162.550000 MHz, NFM.
inline RadioStatus Status()
{
    RadioStatus status;
    const uint8_t block[16] = {1, 0x01, 0xDF, 0x02, 0x2C, 0x01, 0x0A, 0x00,
                               0x00, 0xC8, 0x04, 0xF0, 0x50, 0xB0, 0x09, 0x02};
    std::memcpy(status.block, block, sizeof block);
    status.statusValid = true;
    return status;
}

} // namespace sampleradio
