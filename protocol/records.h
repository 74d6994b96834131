#pragma once

// The mirrored display and status of the radio, as the poll replies carry
// them. Plain values: they are copied whole between threads.

#include <cstdint>

struct LcdImage {
    // Four rows of 16 character codes, each followed by a zero that is never
    // overwritten, so every row is a text of at most 16 codes.
    uint8_t rows[4][17] = {};
    uint8_t iconFlagsA = 0;
    uint8_t iconFlagsB = 0;
    bool lcdValid = false;

    bool operator==(const LcdImage&) const = default;
};

// The 16-byte status block exactly as received, read field by field from its
// offsets (little-endian), with no assumption about the host's layout.
struct RadioStatus {
    uint8_t block[16] = {};
    bool statusValid = false;

    uint8_t modeIndex() const { return block[0]; }
    uint8_t indicatorFlags() const { return block[1]; }
    uint16_t battery() const { return U16(2); }
    uint16_t rssi() const { return U16(4); }
    uint16_t centering() const { return U16(6); }
    uint8_t lampRed() const { return block[8]; }
    uint8_t lampGreen() const { return block[9]; }
    uint8_t lampBlue() const { return block[10]; }
    uint32_t frequencyHz() const
    {
        return static_cast<uint32_t>(block[11]) | (static_cast<uint32_t>(block[12]) << 8) |
               (static_cast<uint32_t>(block[13]) << 16) | (static_cast<uint32_t>(block[14]) << 24);
    }
    uint8_t modulationIndex() const { return block[15]; }

    bool operator==(const RadioStatus&) const = default;

private:
    uint16_t U16(int offset) const
    {
        return static_cast<uint16_t>(block[offset] | (block[offset + 1] << 8));
    }
};

// What one paint pass reads: both records, taken together under one lock.
struct PanelSnapshot {
    LcdImage lcd;
    RadioStatus status;
};
