#include "panel/panelcontrols.h"

std::optional<KeyDef> KeyByControlId(int controlId)
{
    for (const KeyButton& button : keyButtons) {
        if (button.controlId == controlId) {
            return KeyByCode(button.code);
        }
    }
    return std::nullopt;
}

int KeyControlId(KeyCode code)
{
    for (const KeyButton& button : keyButtons) {
        if (button.code == code) {
            return button.controlId;
        }
    }
    return 0;
}
