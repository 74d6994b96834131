#pragma once

// The Telnet layer of an RFC 2217 connection: commands, option negotiation,
// and the com-port option's subnegotiations. Pure byte work, no sockets, so
// that every split of a sequence across reads can be tested.

#include <cstddef>
#include <cstdint>
#include <vector>

namespace telnet {

enum Command : uint8_t {
    SE = 240,
    NOP = 241,
    SB = 250,
    WILL = 251,
    WONT = 252,
    DO = 253,
    DONT = 254,
    IAC = 255,
};

enum Option : uint8_t {
    BINARY = 0,
    SGA = 3,
    COM_PORT = 44,
};

// Client-to-server commands of the com-port option; the server confirms each
// with the same command plus kServerOffset and the value it applied.
enum ComPortCommand : uint8_t {
    SET_BAUDRATE = 1,
    SET_DATASIZE = 2,
    SET_PARITY = 3,
    SET_STOPSIZE = 4,
    SET_CONTROL = 5,
    PURGE_DATA = 12,
};
constexpr uint8_t kServerOffset = 100;

enum ParityValue : uint8_t { PARITY_NONE = 1, PARITY_ODD = 2, PARITY_EVEN = 3, PARITY_MARK = 4, PARITY_SPACE = 5 };
enum StopValue : uint8_t { STOP_1 = 1, STOP_2 = 2, STOP_1_5 = 3 };
enum ControlValue : uint8_t { DTR_ON = 8, DTR_OFF = 9, RTS_ON = 11, RTS_OFF = 12 };
enum PurgeValue : uint8_t { PURGE_RECEIVE = 1, PURGE_TRANSMIT = 2, PURGE_BOTH = 3 };

// Appends `count` data bytes to `out`, each 0xFF doubled.
void AppendEscaped(const uint8_t* data, size_t count, std::vector<uint8_t>& out);

// IAC SB COM-PORT-OPTION command value IAC SE, the value escaped.
std::vector<uint8_t> ComPortFrame(uint8_t command, const std::vector<uint8_t>& value);

// SET-BAUDRATE's value: four bytes, most significant first.
std::vector<uint8_t> BaudValue(uint32_t baud);

struct Event {
    uint8_t verb = 0;   // WILL, WONT, DO, DONT, or SB for a subnegotiation
    uint8_t option = 0;
    std::vector<uint8_t> payload; // of a subnegotiation, unescaped

    bool operator==(const Event&) const = default;
};

// Splits a received stream into data and Telnet events. State carries over
// between calls, so a sequence may be cut anywhere.
class Decoder {
public:
    void Feed(const uint8_t* in, size_t count, std::vector<uint8_t>& data, std::vector<Event>& events);
    void Reset() { *this = Decoder(); }

    // A subnegotiation longer than this is cut; nothing the com-port option
    // sends comes near it, and a broken server must not grow memory.
    static constexpr size_t kMaxPayload = 64;

private:
    enum class State : uint8_t { Data = 0, Iac = 1, Option = 2, SubOption = 3, Sub = 4, SubIac = 5 };
    State state = State::Data;
    uint8_t verb = 0;
    Event sub;
};

} // namespace telnet
