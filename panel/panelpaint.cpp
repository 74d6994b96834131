#include "panel/cfrontpaneldlg.h"

#include "panel/eventhandoff.h"

#include <QPaintEvent>
#include <QPainter>

// How the link's news reaches the screen: the worker posts one refresh, the
// window thread repaints only what differs, and the LCD and the lamp are
// drawn by the dialog itself.

void CFrontPanelDlg::PostRefresh()
{
    // One refresh waiting is enough: a window thread that falls behind must
    // not find a pile of them.
    if (!refreshPending.exchange(true)) {
        PostHandedOver(this, QEvent::Type(WM_PANEL_REFRESH));
    }
}

void CFrontPanelDlg::OnPanelRefresh()
{
    // Only the LCD and the lamp are drawn by the dialog itself, and each pass
    // covers them whole; the status fields repaint themselves when their text
    // or state changes. Repainting the other sixty controls on every change
    // would be waste.
    const QRect lcdArea = lcdpaint::PaintedArea(lcdRect);
    const QRect lampArea = statuspaint::LampArea(lcdRect.top(), lcdRect.right() + 1);
    if (Link().RefreshEveryReplyForTest()) {
        update(QRegion(lcdArea) + QRegion(lampArea));
        return;
    }
    // A status that changed only in its texts leaves the LCD alone, and a
    // lamp of the same colour is not drawn again.
    const PanelSnapshot snap = Link().Snapshot();
    ApplyStatusView(statuspaint::FormatStatus(snap.status));
    FollowLinkState();
    if (shownLcd != ShownLcd{snap.lcd, CurrentMark()}) {
        update(lcdArea);
    }
    if (shownLamp != statuspaint::LampColour(LampStatus(snap.status)).rgb()) {
        update(lampArea);
    }
}

lcdpaint::LcdMark CFrontPanelDlg::CurrentMark() const
{
    // Nothing is written over a transfer's banner: no poll runs during a
    // transfer, so the state is still that of before it.
    const LinkState state = Link().State();
    if (!LinkStateMarksDisplay(state) || station.Transfer().Active()) {
        return {};
    }
    return {QString::fromStdString(LinkStateText(state, "COM " + std::to_string(fields.comPort))), markFont};
}

RadioStatus CFrontPanelDlg::LampStatus(const RadioStatus& status) const
{
    // The lamp is the radio's: dark while the radio does not say what it is.
    if (Link().State() == LinkState::NotAnswering) {
        return RadioStatus{};
    }
    return status;
}

bool CFrontPanelDlg::event(QEvent* event)
{
    MarkTakenOver(event);
    if (event->type() == QEvent::Type(WM_PANEL_REFRESH)) {
        refreshPending = false;
        OnPanelRefresh();
        return true;
    }
    if (event->type() == QEvent::Type(WM_SOUND_CHANGED)) {
        OnSoundChanged();
        return true;
    }
    return QDialog::event(event);
}

void CFrontPanelDlg::paintEvent(QPaintEvent* event)
{
    if (isMinimized()) {
        return;
    }
    QPainter painter(this);
    const PanelSnapshot snap = Link().Snapshot();
    const QRegion& region = event->region();
    // A pass for a status field's box alone draws neither the LCD nor the
    // lamp; one that covers an area whole remembers what it showed there.
    const auto paints = [&region](const QRect& area, auto& shown, const auto& value) {
        if (!region.intersects(area)) {
            return false;
        }
        if (QRegion(area).subtracted(region).isEmpty()) {
            shown = value;
        } else {
            shown.reset();
        }
        return true;
    };
    const lcdpaint::LcdMark mark = CurrentMark();
    if (paints(lcdpaint::PaintedArea(lcdRect), shownLcd, ShownLcd{snap.lcd, mark})) {
        lcdpaint::PaintLcd(painter, lcdFont, lcdRect, snap.lcd, mark);
    }
    ApplyStatusView(statuspaint::FormatStatus(snap.status));
    FollowLinkState();
    const RadioStatus lamp = LampStatus(snap.status);
    if (paints(statuspaint::LampArea(lcdRect.top(), lcdRect.right() + 1), shownLamp,
               statuspaint::LampColour(lamp).rgb())) {
        statuspaint::PaintLamp(painter, lcdRect.top(), lcdRect.right() + 1, lamp);
    }
}
