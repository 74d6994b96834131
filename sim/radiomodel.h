#pragma once

// A plausible scanner behind the line: keys change what it shows, a tune
// frame retunes it, it hears the transmissions on the air (stopping on them
// while it scans or searches), and its battery wanders down over time.
// Everything that varies comes from seeded generators, so a run can be
// repeated.

#include "sim/traffic.h"

#include <array>
#include <cstdint>
#include <optional>
#include <random>
#include <string>
#include <vector>

namespace sim {

inline constexpr int LCD_COLUMNS = 16;
inline constexpr int LCD_ROWS = 4;

// Operating modes, numbered as the status block counts them.
enum class Mode : uint8_t { Tune = 0, Scan, Man, Pgm, Srch, Wx, Sky, Fav, Vs, Stalk };

// Modulations (traffic.h) are numbered as the status block counts them; the
// tune frame has its own numbering (0 AM, 1 FM, 2 Auto).

// Icon bits of the LCD reply.
inline constexpr uint8_t ICON_A_BARS_MASK = 0x07;
inline constexpr uint8_t ICON_A_S = 0x08;
inline constexpr uint8_t ICON_A_BATTERY = 0x10;
inline constexpr uint8_t ICON_A_BATTERY_LOW = 0x20;
inline constexpr uint8_t ICON_B_F = 0x01;
inline constexpr uint8_t ICON_B_A = 0x04;
inline constexpr uint8_t ICON_B_LOCK = 0x08;
inline constexpr uint8_t ICON_B_UP = 0x10;
inline constexpr uint8_t ICON_B_DOWN = 0x20;
inline constexpr uint8_t ICON_B_LIGHT = 0x40;

// Indicator bits of the status block.
inline constexpr uint8_t IND_RF_SQ = 0x01;
inline constexpr uint8_t IND_MUTE = 0x02;

// One channel as the radio reads it from a 132-byte memory record: the
// frequency (little-endian Hz) at offset 0, the modulation at 4 and a
// 16-character name at 5.
struct Channel {
    uint32_t frequencyHz = 0;
    Modulation modulation = Modulation::Nfm;
    std::string name;
};

Channel ChannelFromRecord(const uint8_t* record);

// The built-in image: `records` channel records with recognisable bytes.
std::vector<uint8_t> DefaultImage(int records);

class RadioModel {
public:
    // Random traffic on the image's channels, from `seed`.
    explicit RadioModel(uint32_t seed = 1);

    // The memory image, whole 132-byte records; channels come from it.
    void SetImage(std::vector<uint8_t> image);
    const std::vector<uint8_t>& Image() const { return image; }
    int ChannelCount() const;

    void OnKey(uint8_t code);
    void OnTune(uint32_t hz, uint8_t tuneModulation);

    // Random traffic of `perMinute` transmissions a minute (0: none) on the
    // channels of the image, or exactly the transmissions of a script.
    void SetRandomTraffic(int perMinute);
    void SetScriptedTraffic(std::vector<Transmission> script);

    // Moves time on by one step of the radio's own clock (hearing, signal
    // level, scanning, battery). The server calls it every TICK_MS.
    static constexpr uint32_t TICK_MS = 250;
    void Tick();
    // Hears what is on the air at `nowMs` (since radiosim started): stops on
    // a transmission it can receive, and lets go of one that has ended. The
    // server calls it before every reply, so a hit starts at the first poll
    // after its transmission does. Time never goes back.
    void Listen(uint32_t nowMs);

    std::array<uint8_t, 70> LcdReply() const;
    std::array<uint8_t, 20> StatusReply() const;
    std::array<uint8_t, 16> StatusBlock() const;

    // The four display rows as text, for tests and the trace.
    std::string Row(int index) const;
    uint8_t IconFlagsA() const;
    uint8_t IconFlagsB() const;

    Mode mode = Mode::Scan;
    Modulation modulation = Modulation::Nfm;
    uint32_t frequencyHz = 0;
    int channel = 0; // index into the image
    bool backlight = false;
    bool funcShown = false;
    bool locked = false;
    bool attenuator = false;
    bool hold = false;
    bool scanUp = true;
    bool signal = false;
    int infoView = 0;
    uint16_t batteryCentiVolts = 780;
    uint16_t rssi = 0;
    uint16_t centering = 0;
    uint32_t stepHz = 12500;
    std::optional<Transmission> receiving; // what the radio hears now
    std::string entry;    // digits typed so far
    std::string message;  // a one-off note in row 2, cleared by the next key

private:
    void SelectChannel(int index);
    void Step(int direction);
    void Enter();
    void SetMode(Mode next);
    bool Receives(const Transmission& t);
    void Quiet();

    std::vector<uint8_t> image;
    std::mt19937 rng;
    uint32_t seed = 1;
    uint32_t ticks = 0;
    uint32_t heardAt = 0;
    int trafficPerMinute = DEFAULT_CALLS_PER_MINUTE;
    bool scripted = false;
    Traffic traffic;
};

const char* ModeName(Mode mode);
const char* ModulationName(Modulation modulation);

} // namespace sim
