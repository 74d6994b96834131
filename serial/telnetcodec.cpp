#include "serial/telnetcodec.h"

namespace telnet {

void AppendEscaped(const uint8_t* data, size_t count, std::vector<uint8_t>& out)
{
    for (size_t i = 0; i < count; ++i) {
        out.push_back(data[i]);
        if (data[i] == IAC) {
            out.push_back(IAC);
        }
    }
}

std::vector<uint8_t> ComPortFrame(uint8_t command, const std::vector<uint8_t>& value)
{
    std::vector<uint8_t> frame{IAC, SB, COM_PORT};
    AppendEscaped(&command, 1, frame);
    AppendEscaped(value.data(), value.size(), frame);
    frame.push_back(IAC);
    frame.push_back(SE);
    return frame;
}

std::vector<uint8_t> BaudValue(uint32_t baud)
{
    return {static_cast<uint8_t>(baud >> 24), static_cast<uint8_t>(baud >> 16), static_cast<uint8_t>(baud >> 8),
            static_cast<uint8_t>(baud)};
}

void Decoder::Feed(const uint8_t* in, size_t count, std::vector<uint8_t>& data, std::vector<Event>& events)
{
    for (size_t i = 0; i < count; ++i) {
        const uint8_t b = in[i];
        switch (state) {
        case State::Data:
            if (b == IAC) {
                state = State::Iac;
            } else {
                data.push_back(b);
            }
            break;
        case State::Iac:
            if (b == IAC) {
                data.push_back(IAC);
                state = State::Data;
            } else if (b >= WILL) {
                verb = b;
                state = State::Option;
            } else if (b == SB) {
                state = State::SubOption;
            } else {
                state = State::Data; // NOP, GA, a stray SE and the like carry nothing
            }
            break;
        case State::Option:
            events.push_back(Event{verb, b, {}});
            state = State::Data;
            break;
        case State::SubOption:
            sub = Event{SB, b, {}};
            state = State::Sub;
            break;
        case State::Sub:
            if (b == IAC) {
                state = State::SubIac;
            } else if (sub.payload.size() < kMaxPayload) {
                sub.payload.push_back(b);
            }
            break;
        case State::SubIac:
            if (b == IAC) {
                if (sub.payload.size() < kMaxPayload) {
                    sub.payload.push_back(IAC);
                }
                state = State::Sub;
            } else {
                // SE ends it; any other command ends it too, unfinished,
                // and is read as the command it is.
                events.push_back(std::move(sub));
                sub = Event{};
                state = State::Data;
                if (b != SE) {
                    state = State::Iac;
                    --i;
                }
            }
            break;
        }
    }
}

} // namespace telnet
