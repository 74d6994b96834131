#include "app/keypadfilter.h"

#include "panel/cfrontpaneldlg.h"
#include "panel/eventhandoff.h"

#include <QApplication>
#include <QKeyEvent>
#include <QKeySequence>
#include <QLineEdit>

int TranslateAccelerator(std::span<const AccelEntry> table, int key, Qt::KeyboardModifiers modifiers,
                         const QString& text)
{
    const bool numpad = modifiers.testFlag(Qt::KeypadModifier);
    const bool chorded = (modifiers & (Qt::ShiftModifier | Qt::ControlModifier | Qt::AltModifier)) != 0;
    // The numeric keypad's Enter is the same key as Return to the radio.
    if (key == Qt::Key_Enter) {
        key = Qt::Key_Return;
    }
    for (const AccelEntry& entry : table) {
        if (entry.kind == AccelKind::Character) {
            if (text.size() == 1 && text.at(0) == QChar(entry.key)) {
                return entry.commandId;
            }
            continue;
        }
        if (chorded || entry.key != key) {
            continue;
        }
        if ((entry.block == KeyBlock::Main && numpad) || (entry.block == KeyBlock::Numpad && !numpad)) {
            continue;
        }
        return entry.commandId;
    }
    return 0;
}

QMap<int, QStringList> PcKeyNames(std::span<const AccelEntry> table)
{
    QMap<int, QStringList> names;
    for (const AccelEntry& entry : table) {
        QString name;
        if (entry.kind == AccelKind::Character) {
            name = QChar(entry.key);
        } else if (entry.key == Qt::Key_Return) {
            name = QStringLiteral("Enter");
        } else if (entry.key == Qt::Key_Delete) {
            name = QStringLiteral("Delete");
        } else {
            name = QKeySequence(entry.key).toString(QKeySequence::NativeText);
        }
        if (entry.block == KeyBlock::Numpad) {
            name = QStringLiteral("Num ") + name;
        }
        QStringList& list = names[entry.commandId];
        if (!list.contains(name)) {
            list << name;
        }
    }
    return names;
}

KeypadFilter::KeypadFilter(CFrontPanelDlg& panel, std::span<const AccelEntry> table, QObject* parent)
    : QObject(parent), panel(panel), table(table)
{
}

bool KeypadFilter::eventFilter(QObject* watched, QEvent* event)
{
    MarkTakenOver(event);
    const QEvent::Type type = event->type();
    if (type != QEvent::KeyPress && type != QEvent::ShortcutOverride) {
        return QObject::eventFilter(watched, event);
    }
    if (table.empty() || !panel.Link().Running() || QApplication::activeWindow() != &panel) {
        return false;
    }
    // In the frequency box the keys edit the frequency and Enter clicks TUNE.
    if (QApplication::focusWidget() == panel.FrequencyEdit()) {
        return false;
    }
    const auto* key = static_cast<QKeyEvent*>(event);
    const int command = TranslateAccelerator(table, key->key(), key->modifiers(), key->text());
    if (command == 0) {
        return false;
    }
    if (type == QEvent::ShortcutOverride) {
        // Claim the key so no shortcut takes it; the press follows.
        event->accept();
        return true;
    }
    panel.OnKeyButton(command);
    return true;
}
