#pragma once

// Everything the PC says to the radio: the frame format, the command letters,
// the fixed frames and the one table of the radio's 34 keys.

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>
#include <type_traits>

inline constexpr uint8_t STX = 0x02;
inline constexpr uint8_t ETX = 0x03;
inline constexpr uint8_t CMD_KEY = 'K';
inline constexpr uint8_t CMD_TUNE = 'T';
inline constexpr uint8_t CMD_LCD = 'L';
inline constexpr uint8_t CMD_STATUS = 'A';
inline constexpr uint8_t CMD_CLONE = 'P';
// The lone byte, outside any frame, that paces an image transfer both ways.
inline constexpr uint8_t FLOW_BYTE = 0x45;

inline constexpr int LCD_REPLY_LENGTH = 70;
inline constexpr int STATUS_REPLY_LENGTH = 20;
inline constexpr int IMAGE_RECORD_SIZE = 132;
inline constexpr int KEY_FRAME_LENGTH = 5;
inline constexpr int TUNE_FRAME_LENGTH = 9;

// Sum of the bytes after STX up to and including ETX, modulo 256; `frame`
// holds a whole frame of `length` bytes including its checksum slot.
constexpr uint8_t Checksum(const uint8_t* frame, size_t length)
{
    unsigned sum = 0;
    for (size_t i = 1; i + 1 < length; ++i) {
        sum += frame[i];
    }
    return static_cast<uint8_t>(sum & 0xFF);
}

inline constexpr std::array<uint8_t, 4> lcdPollFrame{STX, CMD_LCD, ETX, 0x4F};
inline constexpr std::array<uint8_t, 4> statusPollFrame{STX, CMD_STATUS, ETX, 0x44};
inline constexpr std::array<uint8_t, 5> imageSendStartFrame{STX, CMD_CLONE, 0x03, ETX, 0x56};
inline constexpr std::array<uint8_t, 5> imageReceiveStartFrame{STX, CMD_CLONE, 0x01, ETX, 0x54};

static_assert(Checksum(lcdPollFrame.data(), lcdPollFrame.size()) == lcdPollFrame.back());
static_assert(Checksum(statusPollFrame.data(), statusPollFrame.size()) == statusPollFrame.back());
static_assert(Checksum(imageSendStartFrame.data(), imageSendStartFrame.size()) == imageSendStartFrame.back());
static_assert(Checksum(imageReceiveStartFrame.data(), imageReceiveStartFrame.size()) ==
              imageReceiveStartFrame.back());

using KeyCode = uint8_t;

// One front-panel key: the code the radio knows it by and the caption on its
// button. The rows stand in the order the keys follow each other on the
// panel (which is also their tab order).
struct KeyDef {
    KeyCode code = 0;
    std::string_view caption;
};

inline constexpr std::array<KeyDef, 34> keyTable{{
    {31, "F1"}, {25, "F2"}, {19, "F3"}, {7, "U"}, {14, "L"}, {8, "SEL"},
    {2, "R"}, {9, "D"}, {33, "1"}, {27, "2"}, {21, "3"}, {34, "4"},
    {28, "5"}, {22, "6"}, {35, "7"}, {29, "8"}, {23, "9"}, {36, "CL"},
    {30, "0"}, {24, "."}, {1, "FUNC"}, {32, "LIGHT"}, {3, "MAN"}, {15, "SCAN"},
    {16, "TUNE"}, {10, "SRCH"}, {26, "ATT"}, {11, "PRI"}, {4, "FAV"}, {17, "WX"},
    {12, "PGM"}, {5, "L/OUT"}, {18, "ENT"}, {6, "PSE"},
}};

std::optional<KeyDef> KeyByCode(KeyCode code);
std::optional<KeyDef> KeyByCaption(std::string_view caption);
// The same with the caption's letters in either case ("scan", "f1", "l/out").
std::optional<KeyDef> KeyByName(std::string_view name);

std::array<uint8_t, KEY_FRAME_LENGTH> KeyFrame(KeyCode code);

// The tune frame carries whole hertz in 32 bits: 0 to 4294.967295 MHz.
inline constexpr uint32_t TUNE_HZ_MAX = 4294967295u;

// Hertz as a number read from text, fractions of a hertz cut off (truncated
// toward zero, never rounded). Nothing outside the frame's range: it would
// reach the radio as some other frequency (9999 MHz as 1409.065 MHz), so
// every reader of a frequency refuses what this refuses, NaN too.
std::optional<uint32_t> TuneHzOf(double hz);
// The tune box's megahertz times one million in double precision, and then
// as above: 32.01 MHz is 32 009 999 Hz, as the radio has always been sent.
inline std::optional<uint32_t> TuneHzOfMHz(double frequencyMHz)
{
    return TuneHzOf(frequencyMHz * 1000000.0);
}
// What the user is told when a frequency is refused.
inline constexpr std::string_view TUNE_RANGE_MESSAGE = "Please enter a frequency between 0 and 4294.967295 MHz.";
std::array<uint8_t, TUNE_FRAME_LENGTH> TuneFrame(uint32_t hz, int32_t modulation);
// Megahertz would silently become hertz (146.52 as 146 Hz): not compiled.
template <typename MHz, typename = std::enable_if_t<std::is_floating_point_v<MHz>>>
std::array<uint8_t, TUNE_FRAME_LENGTH> TuneFrame(MHz, int32_t) = delete;

// The tune frame's modulation byte numbers the tune box's own choices; the
// status reply counts its modulations differently (statustext.h).
inline constexpr std::array<std::string_view, 3> tuneModulationNames{"AM", "FM", "Auto"};
inline constexpr int32_t TUNE_MODULATION_AUTO = 2;
