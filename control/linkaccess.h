#pragma once

// The radio as the control server reaches it: the link's stored records,
// and its own SendTune, so that no frame is built a second way and no other
// user of the port exists.

#include "protocol/radiolink.h"
#include "control/rigctlprotocol.h"

namespace control {

class LinkAccess final : public RadioAccess {
public:
    explicit LinkAccess(RadioLink& link) : link(link) {}

    PanelSnapshot Snapshot() const override { return link.Snapshot(); }
    LinkState State() const override { return link.State(); }
    uint32_t StatusAgeMs() const override { return link.GetClock().TickCount() - link.StatusStoredAt(); }
    uint64_t StatusStores() const override { return link.Stats().statusRepliesStored; }
    SendResult Tune(uint32_t hz, int32_t tuneModulation) override { return link.SendTune(hz, tuneModulation); }
    void SetStatusWake(std::function<void()> wake) override { link.SetStatusWake(std::move(wake)); }

private:
    RadioLink& link;
};

} // namespace control
