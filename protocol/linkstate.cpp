#include "protocol/linkstate.h"

const LinkStateDef& LinkStateOf(LinkState state)
{
    for (const LinkStateDef& def : linkStates) {
        if (def.state == state) {
            return def;
        }
    }
    return linkStates[0];
}

std::string LinkStateText(LinkState state, std::string_view port)
{
    std::string text(LinkStateOf(state).text);
    if (state == LinkState::PortGone) {
        text += port;
    }
    return text;
}

bool LinkStateMarksDisplay(LinkState state)
{
    return state != LinkState::Stopped && !LinkStateOf(state).displayCurrent;
}
