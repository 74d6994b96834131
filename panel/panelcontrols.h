#pragma once

// The front panel's control ids and its key buttons. The ids keep the
// numbers of the radio owners' documentation, so that an id seen in a trace
// or an accelerator table means the same control everywhere; the radio
// itself knows its keys only by their codes (frames.h).

#include "panel/resourceids.h"
#include "protocol/frames.h"

#include <array>
#include <optional>

enum class ControlId : int {
    None = -1,
    Exit = IDOK,
    SendImage = 1000,
    ReceiveImage = 1001,
    LcdFrame = 1024,
    ComPort = 1032,
    StartStop = 1033,
    TuneFrequency = 1034,
    Tune = 1035,
    Battery = 1036,
    Rssi = 1042,
    Centermeter = 1043,
    Mute = 1044,
    Mode = 1045,
    RfSq = 1046,
    Xf = 1047,
    Hd5 = 1048,
    Hd2 = 1049,
    TuneModulation = 1050,
    Modulation = 1051,
    Frequency = 1052,
    EnableLcdPolls = 1054,
};

constexpr int Id(ControlId id)
{
    return static_cast<int>(id);
}

// One key button: the radio's code for the key, the button's id and where
// the button stands (left and top edge in dialog units). The rows follow the
// key table's order, which is the keys' tab order.
struct KeyButton {
    KeyCode code = 0;
    int controlId = 0;
    int x = 0;
    int y = 0;
};

inline constexpr std::array<KeyButton, 34> keyButtons{{
    {31, 1002, 135, 114}, {25, 1003, 193, 114}, {19, 1004, 251, 114}, {7, 1038, 153, 137},
    {14, 1041, 116, 162}, {8, 1039, 153, 162},  {2, 1037, 191, 162},  {9, 1040, 153, 187},
    {33, 1028, 116, 212}, {27, 1023, 153, 212}, {21, 1019, 191, 212}, {34, 1029, 116, 238},
    {28, 1025, 153, 238}, {22, 1020, 191, 238}, {35, 1030, 116, 262}, {29, 1026, 153, 262},
    {23, 1021, 191, 262}, {36, 1031, 116, 287}, {30, 1027, 153, 287}, {24, 1022, 191, 287},
    {1, 1007, 232, 137},  {32, 1005, 270, 137}, {3, 1013, 232, 162},  {15, 1006, 270, 162},
    {16, 1014, 232, 187}, {10, 1008, 270, 187}, {26, 1015, 232, 212}, {11, 1009, 270, 212},
    {4, 1016, 232, 238},  {17, 1010, 270, 238}, {12, 1017, 232, 262}, {5, 1011, 270, 262},
    {18, 1018, 232, 287}, {6, 1012, 270, 287},
}};

// A row out of step with the key table would give a button another key's
// caption or code. (A function, not a lambda in the assertion: cppcheck 2.10
// cannot parse the latter.)
constexpr bool KeyButtonsFollowKeyTable()
{
    if (keyButtons.size() != keyTable.size()) {
        return false;
    }
    for (std::size_t i = 0; i < keyButtons.size(); ++i) {
        if (keyButtons[i].code != keyTable[i].code) {
            return false;
        }
    }
    return true;
}
static_assert(KeyButtonsFollowKeyTable(), "keyButtons must follow keyTable row by row");

// The key a button sends, or none for an id that is no key button.
std::optional<KeyDef> KeyByControlId(int controlId);
// The id of the button of a key's code, or 0 when no button sends it.
int KeyControlId(KeyCode code);
