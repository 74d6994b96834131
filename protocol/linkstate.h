#pragma once

// What the link is doing, as the user must be able to tell at a glance: the
// window writes it across its LCD, ostrellectl prints it, a server reports it.

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

// The values are kept by whoever reports them, so they never change meaning.
enum class LinkState : uint8_t {
    Stopped = 0,      // no link: never started, or STOP
    Answering = 1,    // the link runs and the radio answers its polls
    NotAnswering = 2, // the link runs, but no poll has been answered for a second
    PortGone = 3,     // the port hung up or its device went: closed, and looked for once a second
    LcdPollsOff = 4,  // the radio answers, but LCD polls are off: the display shown is not current
    Open = 5,         // the port is open and frames may go, but nothing polls: a single command's link
};

struct LinkStateDef {
    LinkState state;
    std::string_view name; // for scripts: JSON values, log fields
    std::string_view text; // for the user; the port's name follows where it ends in "for "
    bool displayCurrent;   // what the LCD shows is what the radio shows now
};

inline constexpr std::array<LinkStateDef, 6> linkStates{{
    {LinkState::Stopped, "stopped", "Link stopped", false},
    {LinkState::Answering, "answering", "The radio answers", true},
    {LinkState::NotAnswering, "notAnswering", "No answer from the radio", false},
    {LinkState::PortGone, "portGone", "Radio disconnected: waiting for ", false},
    {LinkState::LcdPollsOff, "lcdPollsOff", "LCD polls off", false},
    {LinkState::Open, "open", "Port open, not polling", false},
}};

const LinkStateDef& LinkStateOf(LinkState state);

// The state in words; `port` (as the user knows it: "COM3", a device path)
// completes the one that waits for it.
std::string LinkStateText(LinkState state, std::string_view port);

// Whether the window writes the state across a display it still shows: the
// radio or its port has gone quiet, or the display is no longer polled.
// A stopped link shows no display at all.
bool LinkStateMarksDisplay(LinkState state);
