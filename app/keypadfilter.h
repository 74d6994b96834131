#pragma once

#include <QMap>
#include <QObject>
#include <QString>
#include <QStringList>
#include <Qt>

#include <array>
#include <cstdint>
#include <span>

class CFrontPanelDlg;

// The keypad accelerator table: PC keys that press the radio's keys.
enum class AccelKind : char {
    Character = 'c', // matches the typed character, whatever key produced it
    VirtualKey = 'v', // matches the key itself, only with Shift, Ctrl and Alt up
};

// Which block of the keyboard a virtual key must come from. Digits exist on
// the main keyboard and on the numeric keypad as different keys; the other
// keys (arrows, Delete, Enter) reach us the same from both blocks.
enum class KeyBlock : uint8_t { Either, Main, Numpad };

struct AccelEntry {
    AccelKind kind = AccelKind::VirtualKey;
    int key = 0; // a Qt::Key, or the character for AccelKind::Character
    KeyBlock block = KeyBlock::Either;
    int commandId = 0;
};

// In the table's stored order; the first matching entry wins.
inline constexpr std::array<AccelEntry, 32> keypadAccel{{
    {AccelKind::Character, '.', KeyBlock::Either, 1022},
    {AccelKind::VirtualKey, Qt::Key_0, KeyBlock::Main, 1027},
    {AccelKind::VirtualKey, Qt::Key_1, KeyBlock::Main, 1028},
    {AccelKind::VirtualKey, Qt::Key_2, KeyBlock::Main, 1023},
    {AccelKind::VirtualKey, Qt::Key_3, KeyBlock::Main, 1019},
    {AccelKind::VirtualKey, Qt::Key_4, KeyBlock::Main, 1029},
    {AccelKind::VirtualKey, Qt::Key_5, KeyBlock::Main, 1025},
    {AccelKind::VirtualKey, Qt::Key_6, KeyBlock::Main, 1020},
    {AccelKind::VirtualKey, Qt::Key_7, KeyBlock::Main, 1030},
    {AccelKind::VirtualKey, Qt::Key_8, KeyBlock::Main, 1026},
    {AccelKind::VirtualKey, Qt::Key_9, KeyBlock::Main, 1021},
    {AccelKind::VirtualKey, Qt::Key_Backspace, KeyBlock::Either, 1031},
    {AccelKind::VirtualKey, Qt::Key_Period, KeyBlock::Numpad, 1022},
    {AccelKind::VirtualKey, Qt::Key_Delete, KeyBlock::Either, 1031},
    {AccelKind::VirtualKey, Qt::Key_Down, KeyBlock::Either, 1040},
    {AccelKind::VirtualKey, Qt::Key_F1, KeyBlock::Either, 1002},
    {AccelKind::VirtualKey, Qt::Key_F2, KeyBlock::Either, 1003},
    {AccelKind::VirtualKey, Qt::Key_F3, KeyBlock::Either, 1004},
    {AccelKind::VirtualKey, Qt::Key_Left, KeyBlock::Either, 1041},
    {AccelKind::VirtualKey, Qt::Key_0, KeyBlock::Numpad, 1027},
    {AccelKind::VirtualKey, Qt::Key_1, KeyBlock::Numpad, 1028},
    {AccelKind::VirtualKey, Qt::Key_2, KeyBlock::Numpad, 1023},
    {AccelKind::VirtualKey, Qt::Key_3, KeyBlock::Numpad, 1019},
    {AccelKind::VirtualKey, Qt::Key_4, KeyBlock::Numpad, 1029},
    {AccelKind::VirtualKey, Qt::Key_5, KeyBlock::Numpad, 1025},
    {AccelKind::VirtualKey, Qt::Key_6, KeyBlock::Numpad, 1020},
    {AccelKind::VirtualKey, Qt::Key_7, KeyBlock::Numpad, 1030},
    {AccelKind::VirtualKey, Qt::Key_8, KeyBlock::Numpad, 1026},
    {AccelKind::VirtualKey, Qt::Key_9, KeyBlock::Numpad, 1021},
    {AccelKind::VirtualKey, Qt::Key_Return, KeyBlock::Either, 1018},
    {AccelKind::VirtualKey, Qt::Key_Right, KeyBlock::Either, 1037},
    {AccelKind::VirtualKey, Qt::Key_Up, KeyBlock::Either, 1038},
}};

// The names of the PC keys that press each key button, by its command id, in
// the table's order ("1", "Num 1"), for the buttons' tooltips and the list
// of shortcuts.
QMap<int, QStringList> PcKeyNames(std::span<const AccelEntry> table);

// The command id of the first entry that matches the key, or 0.
int TranslateAccelerator(std::span<const AccelEntry> table, int key, Qt::KeyboardModifiers modifiers,
                         const QString& text);

// Installed on the application: turns matching key presses into the front
// panel's key commands while the link runs, the panel is the active window
// and the frequency box does not have the focus. Everything else passes.
class KeypadFilter : public QObject {
    Q_OBJECT
public:
    // An empty table (one that failed to load) never translates.
    KeypadFilter(CFrontPanelDlg& panel, std::span<const AccelEntry> table, QObject* parent = nullptr);

    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    CFrontPanelDlg& panel;
    std::span<const AccelEntry> table;
};
