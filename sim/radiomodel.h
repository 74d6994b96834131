#pragma once

// A plausible scanner behind the line: keys change what it shows, a tune
// frame retunes it, and its signal and battery wander over time. Everything
// that varies comes from one seeded generator, so a run can be repeated.

#include <array>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

namespace sim {

inline constexpr int LCD_COLUMNS = 16;
inline constexpr int LCD_ROWS = 4;

// Operating modes, numbered as the status block counts them.
enum class Mode : uint8_t { Tune = 0, Scan, Man, Pgm, Srch, Wx, Sky, Fav, Vs, Stalk };

// Modulations, numbered as the status block counts them; the tune frame has
// its own numbering (0 AM, 1 FM, 2 Auto).
enum class Modulation : uint8_t { Am = 0, Fm, Nfm, Auto };

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
    explicit RadioModel(uint32_t seed = 1);

    // The memory image, whole 132-byte records; channels come from it.
    void SetImage(std::vector<uint8_t> image);
    const std::vector<uint8_t>& Image() const { return image; }
    int ChannelCount() const;

    void OnKey(uint8_t code);
    void OnTune(uint32_t hz, uint8_t tuneModulation);

    // Moves time on by one step of the radio's own clock (signal, battery,
    // scanning). The server calls it every TICK_MS.
    static constexpr uint32_t TICK_MS = 250;
    void Tick();

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
    std::string entry;    // digits typed so far
    std::string message;  // a one-off note in row 2, cleared by the next key

private:
    void SelectChannel(int index);
    void Step(int direction);
    void Enter();
    void SetMode(Mode next);
    std::string FrequencyText(uint32_t hz) const;

    std::vector<uint8_t> image;
    std::mt19937 rng;
    uint32_t ticks = 0;
};

const char* ModeName(Mode mode);
const char* ModulationName(Modulation modulation);

} // namespace sim
