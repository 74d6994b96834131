#pragma once

// Hamlib's rigctld network protocol as its clients really speak it (rigctl
// and rigctld with model 2 "NET rigctl", gpredict, WSJT-X, fldigi), answered
// from the radio's stored records. A line goes in, its reply comes out;
// nothing here waits or touches the line to the radio. A line that asks the
// radio to change is handed back as a tune request, which the server sends
// through the link and then answers with SetReply().

#include "protocol/linkstate.h"
#include "protocol/radiolink.h"
#include "protocol/records.h"

#include <array>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

namespace control {

// Hamlib's error codes; a reply carries them negated ("RPRT -5"). Clients
// misread a positive number after RPRT, so none is ever sent. Hamlib's I/O
// error (6) is not among them: rigctl takes it for a lost connection, opens
// it again and drops the command without a word.
enum class HamlibError : int {
    Ok = 0,
    InvalidParam = 1,   // a value out of range or unreadable
    Timeout = 5,        // the radio cannot be heard now: silent, its port gone, or the link stopped
    Protocol = 8,       // the radio sent a value this protocol has no name for
    Rejected = 9,       // a memory image transfer holds the line
    NotAvailable = 11,  // a command or level this radio does not have
};

// What the protocol needs of the radio. The link's own implementation is in
// linkaccess.h; a test or a fuzzer puts a fake in its place.
class RadioAccess {
public:
    virtual ~RadioAccess() = default;
    virtual PanelSnapshot Snapshot() const = 0;
    virtual LinkState State() const = 0;
    // How long ago the last status reply was stored.
    virtual uint32_t StatusAgeMs() const = 0;
    // Status replies stored since the link was made: a set is answered once
    // the radio has been polled after its frame.
    virtual uint64_t StatusStores() const = 0;
    // Sends the tune frame; `tuneModulation` numbers as the tune box does.
    virtual SendResult Tune(uint32_t hz, int32_t tuneModulation) = 0;
    // `wake` is called after each status reply stored, from another thread,
    // until it is replaced; once this returns the old one is not running.
    virtual void SetStatusWake(std::function<void()> wake) = 0;
};

// Whether the stored status still tells what the radio shows: there is one,
// the link runs and has not found the radio silent, and it is younger than
// the link's rule for silence. Anything else is answered RPRT -5.
bool StatusCurrent(const RadioStatus& status, const RadioAccess& radio);
// Whether the radio is known to be silent: the link has found it so, or the
// status is older than the link's rule. A frame sent now would wait in the
// line and reach the radio late, if ever.
bool RadioSilent(const RadioStatus& status, const RadioAccess& radio);

// The modes, written once. The status reply counts AM, FM, NFM and AUTO;
// the tune frame carries AM, FM and Auto only, so "FMN" can be read but not
// set. Hamlib has no mode the radio chooses itself: "AUTO" is no name of its
// own, and its clients take it for "no mode known", which is what it means.
struct ModeDef {
    std::string_view name;  // Hamlib's name, as `m` answers and `M` takes it
    uint64_t hamlibBit = 0; // the mode's bit in \dump_state's masks
    int statusIndex = -1;   // modulationIndex of the status block
    int tuneIndex = -1;     // the tune frame's modulation byte; -1: cannot be set
    int passbandHz = 0;     // what `m` answers as the passband
};

inline constexpr std::array<ModeDef, 4> modeTable{{
    {"AM", 0x1, 0, 0, 10000},
    {"FM", 0x20, 1, 1, 15000},
    {"FMN", 0x200000, 2, -1, 12500},
    {"AUTO", 0, 3, 2, 0},
}};

// Hamlib's level bits for the two levels this radio has.
inline constexpr uint64_t LEVEL_RAWSTR = 0x4000000;
inline constexpr uint64_t LEVEL_STRENGTH = 0x40000000;

// The signal strength in dB relative to S9 (S0 = -54), from the status
// block's RSSI reading: a scanner's RSSI is a 10-bit reading, near 0 on an
// empty channel and near its top on a strong local signal. It is taken as
// linear in dB from S0 at 0 to S9+60 dB at 1023 (6 dB per S unit puts S9 at
// 485); readings above 1023 count as 1023.
int StrengthDb(uint16_t rssi);

// The tune frame's modulation that keeps what the status shows when only the
// frequency changes: AM and FM stay, NFM and AUTO (and an unknown index)
// become Auto, since the frame cannot carry NFM.
int32_t TuneModulationFor(uint8_t statusModulationIndex);

// The answer code of a set, from what the link did with its frame.
HamlibError ErrorOf(SendResult result);

// How the reply to one line is to be written.
struct Framing {
    bool extended = false;    // the line began with a separator character
    char separator = '\n';    // between the records of an extended reply
    std::string header;       // "set_freq: 146520000": the first record
};

// What one line asks for.
struct Handled {
    enum class Kind {
        Silent, // an empty line or a comment: nothing to write
        Reply,  // `reply` is the whole answer
        Tune,   // send `hz`/`tuneModulation`, then answer with SetReply()
    };
    Kind kind = Kind::Silent;
    std::string reply;
    bool close = false; // `q`: the reply goes out, then the client is closed
    uint32_t hz = 0;
    int32_t tuneModulation = 0;
    Framing framing;
};

// Answers one line (its newline and a carriage return before it removed).
// Reads the radio's records; never sends.
Handled HandleLine(std::string_view line, const RadioAccess& radio);

// The reply of a set whose frame has gone (or not): "RPRT n" in the line's form.
std::string SetReply(const Framing& framing, HamlibError error);

// The text of \dump_state: what this radio can do, in protocol version 1.
const std::string& DumpStateText();

} // namespace control
