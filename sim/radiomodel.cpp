#include "sim/radiomodel.h"

#include "protocol/frames.h"

#include <algorithm>
#include <cstddef>
#include <cstdio>

namespace sim {

namespace {

constexpr KeyCode CodeOf(std::string_view caption)
{
    for (const KeyDef& key : keyTable) {
        if (key.caption == caption) {
            return key.code;
        }
    }
    return 0;
}

constexpr KeyCode K_FUNC = CodeOf("FUNC");
constexpr KeyCode K_LIGHT = CodeOf("LIGHT");
constexpr KeyCode K_LOCK = CodeOf("L/OUT");
constexpr KeyCode K_ATT = CodeOf("ATT");
constexpr KeyCode K_PSE = CodeOf("PSE");
constexpr KeyCode K_SCAN = CodeOf("SCAN");
constexpr KeyCode K_MAN = CodeOf("MAN");
constexpr KeyCode K_SRCH = CodeOf("SRCH");
constexpr KeyCode K_WX = CodeOf("WX");
constexpr KeyCode K_PRI = CodeOf("PRI");
constexpr KeyCode K_FAV = CodeOf("FAV");
constexpr KeyCode K_TUNE = CodeOf("TUNE");
constexpr KeyCode K_PGM = CodeOf("PGM");
constexpr KeyCode K_UP = CodeOf("U");
constexpr KeyCode K_DOWN = CodeOf("D");
constexpr KeyCode K_LEFT = CodeOf("L");
constexpr KeyCode K_RIGHT = CodeOf("R");
constexpr KeyCode K_SEL = CodeOf("SEL");
constexpr KeyCode K_ENT = CodeOf("ENT");
constexpr KeyCode K_CL = CodeOf("CL");
constexpr KeyCode K_DOT = CodeOf(".");
constexpr KeyCode K_F1 = CodeOf("F1");
constexpr KeyCode K_F2 = CodeOf("F2");
constexpr KeyCode K_F3 = CodeOf("F3");
static_assert(K_FUNC == 1 && K_CL == 36 && K_F3 == 19);

constexpr uint32_t WX_HZ = 162550000;
constexpr uint16_t BATTERY_FLOOR = 600;
constexpr uint16_t BATTERY_LOW = 680;
constexpr uint32_t BATTERY_DRAIN_TICKS = 40; // one hundredth of a volt per 10 s
constexpr size_t ENTRY_MAX = 9;
constexpr std::array<uint32_t, 4> STEPS{5000, 6250, 12500, 25000};

char DigitOf(uint8_t code)
{
    static constexpr std::string_view digits = "0123456789";
    const auto key = KeyByCode(code);
    if (key && key->caption.size() == 1 && digits.find(key->caption[0]) != std::string_view::npos) {
        return key->caption[0];
    }
    return 0;
}

// Shown characters are printable ASCII only; anything else read from an
// image becomes a space so that the glyph codes stay the painter's business.
std::string Fit(std::string text)
{
    for (char& c : text) {
        if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) > 0x7E) {
            c = ' ';
        }
    }
    text.resize(LCD_COLUMNS, ' ');
    return text;
}

void PutU16(uint8_t* at, uint16_t value)
{
    at[0] = static_cast<uint8_t>(value & 0xFF);
    at[1] = static_cast<uint8_t>(value >> 8);
}

void PutU32(uint8_t* at, uint32_t value)
{
    for (int i = 0; i < 4; ++i) {
        at[i] = static_cast<uint8_t>((value >> (8 * i)) & 0xFF);
    }
}

template <size_t N> void Seal(std::array<uint8_t, N>& frame)
{
    frame[N - 2] = ETX;
    frame[N - 1] = Checksum(frame.data(), N);
}

} // namespace

const char* ModeName(Mode mode)
{
    static constexpr const char* names[] = {"TUNE", "SCAN", "MAN", "PGM", "SRCH",
                                            "WX",   "SKY",  "FAV", "VS",  "STALK"};
    return names[static_cast<int>(mode)];
}

const char* ModulationName(Modulation modulation)
{
    static constexpr const char* names[] = {"AM", "FM", "NFM", "AUTO"};
    return names[static_cast<int>(modulation)];
}

Channel ChannelFromRecord(const uint8_t* record)
{
    Channel channel;
    channel.frequencyHz = static_cast<uint32_t>(record[0]) | (static_cast<uint32_t>(record[1]) << 8) |
                          (static_cast<uint32_t>(record[2]) << 16) | (static_cast<uint32_t>(record[3]) << 24);
    channel.modulation = static_cast<Modulation>(record[4] & 0x03);
    channel.name.assign(reinterpret_cast<const char*>(record + 5), LCD_COLUMNS);
    return channel;
}

std::vector<uint8_t> DefaultImage(int records)
{
    std::vector<uint8_t> image(static_cast<size_t>(std::max(0, records)) * IMAGE_RECORD_SIZE);
    for (int r = 0; r < records; ++r) {
        uint8_t* rec = image.data() + static_cast<size_t>(r) * IMAGE_RECORD_SIZE;
        // Spread the channels over a few bands, the way a owner would fill them.
        static constexpr uint32_t bases[] = {118000000, 144000000, 155000000, 433000000, 460000000};
        const uint32_t hz = bases[r % 5] + static_cast<uint32_t>(r / 5) * 12500;
        PutU32(rec, hz);
        rec[4] = static_cast<uint8_t>(r % 5 == 0 ? Modulation::Am : (r % 3 == 0 ? Modulation::Fm : Modulation::Nfm));
        char name[32] = {};
        std::snprintf(name, sizeof name, "CHANNEL %03d         ", r + 1);
        std::copy(name, name + LCD_COLUMNS, rec + 5);
        for (int i = 5 + LCD_COLUMNS; i < IMAGE_RECORD_SIZE - 4; ++i) {
            rec[i] = static_cast<uint8_t>((r * 7 + i) & 0xFF);
        }
        PutU16(rec + IMAGE_RECORD_SIZE - 4, static_cast<uint16_t>(r));
        rec[IMAGE_RECORD_SIZE - 2] = 0xA5;
        unsigned sum = 0;
        for (int i = 0; i < IMAGE_RECORD_SIZE - 1; ++i) {
            sum += rec[i];
        }
        rec[IMAGE_RECORD_SIZE - 1] = static_cast<uint8_t>(sum & 0xFF);
    }
    return image;
}

RadioModel::RadioModel(uint32_t seed) : rng(seed), seed(seed), traffic(seed)
{
    SetImage(DefaultImage(200));
}

void RadioModel::SetImage(std::vector<uint8_t> newImage)
{
    image = std::move(newImage);
    SelectChannel(std::min(channel, std::max(0, ChannelCount() - 1)));
    if (!scripted) {
        SetRandomTraffic(trafficPerMinute);
    }
}

void RadioModel::SetRandomTraffic(int perMinute)
{
    scripted = false;
    trafficPerMinute = perMinute;
    // Random calls go out on the channels of the memory, as the radio's
    // owner would have stored the busy ones.
    std::vector<Frequency> channels;
    for (int i = 0; i < ChannelCount(); ++i) {
        const Channel c = ChannelFromRecord(image.data() + static_cast<size_t>(i) * IMAGE_RECORD_SIZE);
        if (c.frequencyHz != 0) {
            channels.push_back({c.frequencyHz, c.modulation});
        }
    }
    traffic.SetRandom(seed, perMinute, channels);
}

void RadioModel::SetScriptedTraffic(std::vector<Transmission> script)
{
    scripted = true;
    traffic.SetScript(std::move(script));
}

int RadioModel::ChannelCount() const
{
    return static_cast<int>(image.size() / IMAGE_RECORD_SIZE);
}

void RadioModel::SelectChannel(int index)
{
    const int count = ChannelCount();
    if (count == 0) {
        channel = 0;
        return;
    }
    channel = ((index % count) + count) % count;
    const Channel c = ChannelFromRecord(image.data() + static_cast<size_t>(channel) * IMAGE_RECORD_SIZE);
    frequencyHz = c.frequencyHz;
    modulation = c.modulation;
}

void RadioModel::SetMode(Mode next)
{
    mode = next;
    hold = false;
    if (mode == Mode::Wx) {
        frequencyHz = WX_HZ;
        modulation = Modulation::Nfm;
    }
}

void RadioModel::Step(int direction)
{
    scanUp = direction > 0;
    switch (mode) {
    case Mode::Tune:
    case Mode::Srch:
        frequencyHz += static_cast<uint32_t>(direction) * stepHz;
        break;
    case Mode::Wx:
    {
        // The seven weather channels, 25 kHz apart, wrap round in both directions.
        const int at = static_cast<int>((frequencyHz - WX_HZ) / 25000 % 7);
        frequencyHz = WX_HZ + static_cast<uint32_t>(((at + direction) % 7 + 7) % 7) * 25000;
    }
        break;
    default:
        SelectChannel(channel + direction);
        break;
    }
}

void RadioModel::Enter()
{
    const std::string text = entry;
    entry.clear();
    if (text.empty()) {
        return;
    }
    const auto dot = text.find('.');
    if (dot == std::string::npos) {
        // A bare number selects a channel, counted from 1.
        const long number = std::stol(text);
        if (number < 1 || number > ChannelCount()) {
            message = "NO CHANNEL";
            return;
        }
        SetMode(Mode::Man);
        SelectChannel(static_cast<int>(number - 1));
        return;
    }
    // Megahertz and six digits of its fraction are the hertz.
    std::string fraction = text.substr(dot + 1);
    fraction.resize(6, '0');
    uint64_t hz = 0;
    for (char c : text.substr(0, dot) + fraction) {
        hz = hz * 10 + static_cast<uint64_t>(c - '0');
    }
    if (hz == 0 || hz > UINT32_MAX) {
        message = "INVALID FREQ";
        return;
    }
    SetMode(Mode::Tune);
    frequencyHz = static_cast<uint32_t>(hz);
}

void RadioModel::OnKey(uint8_t code)
{
    const bool func = funcShown;
    funcShown = false;
    message.clear();
    if (code == K_LOCK) {
        locked = !locked;
        return;
    }
    if (code == K_LIGHT) {
        backlight = !backlight;
        return;
    }
    if (locked) {
        // A locked keypad takes only the lock key and the light.
        message = "KEYPAD LOCKED";
        return;
    }
    if (const char digit = DigitOf(code); digit != 0) {
        if (entry.size() < ENTRY_MAX) {
            entry += digit;
        }
        return;
    }
    if (code == K_DOT) {
        if (entry.find('.') == std::string::npos && entry.size() < ENTRY_MAX) {
            entry += '.';
        }
        return;
    }
    if (code == K_ENT) {
        Enter();
        return;
    }
    if (code == K_CL) {
        entry.clear();
        return;
    }
    entry.clear();
    if (code == K_FUNC) {
        funcShown = !func;
    } else if (code == K_ATT) {
        attenuator = !attenuator;
    } else if (code == K_PSE) {
        hold = !hold;
    } else if (code == K_SCAN) {
        SetMode(Mode::Scan);
        SelectChannel(channel);
    } else if (code == K_MAN) {
        SetMode(Mode::Man);
        SelectChannel(channel);
    } else if (code == K_PGM) {
        SetMode(Mode::Pgm);
        SelectChannel(channel);
    } else if (code == K_SRCH) {
        SetMode(Mode::Srch);
    } else if (code == K_WX) {
        SetMode(Mode::Wx);
    } else if (code == K_FAV) {
        SetMode(Mode::Fav);
        SelectChannel(channel);
    } else if (code == K_TUNE) {
        SetMode(Mode::Tune);
    } else if (code == K_PRI) {
        // Priority jumps to the first channel, as the owner's priority channel.
        SetMode(Mode::Man);
        SelectChannel(0);
        message = "PRIORITY";
    } else if (code == K_UP || code == K_RIGHT) {
        Step(func ? 10 : 1);
    } else if (code == K_DOWN || code == K_LEFT) {
        Step(func ? -10 : -1);
    } else if (code == K_SEL || code == K_F3) {
        infoView = (infoView + 1) % 3;
    } else if (code == K_F1) {
        modulation = static_cast<Modulation>((static_cast<int>(modulation) + 1) % 4);
    } else if (code == K_F2) {
        const auto at = std::find(STEPS.begin(), STEPS.end(), stepHz);
        stepHz = (at == STEPS.end() || at + 1 == STEPS.end()) ? STEPS.front() : *(at + 1);
        message = "STEP " + std::to_string(stepHz / 1000) + "." + std::to_string(stepHz % 1000 / 100) + "k";
    }
}

void RadioModel::OnTune(uint32_t hz, uint8_t tuneModulation)
{
    static constexpr Modulation fromTune[] = {Modulation::Am, Modulation::Fm, Modulation::Auto};
    frequencyHz = hz;
    modulation = tuneModulation < 3 ? fromTune[tuneModulation] : Modulation::Auto;
    entry.clear();
    message.clear();
    SetMode(Mode::Tune);
}

void RadioModel::Tick()
{
    ++ticks;
    Listen(ticks * TICK_MS);
    // A scanner moves on while it hears nothing and stays while it does.
    if (!signal && !hold && (mode == Mode::Scan || mode == Mode::Fav || mode == Mode::Srch)) {
        Step(scanUp ? 1 : -1);
    }
    if (receiving) {
        const int spread = receiving->strength / 50;
        std::uniform_int_distribution<int> jitter(-spread, spread);
        rssi = static_cast<uint16_t>(std::clamp(receiving->strength + jitter(rng), 0, 65535));
        std::uniform_int_distribution<int> drift(-40, 40);
        centering = static_cast<uint16_t>(128 + drift(rng));
    } else {
        Quiet();
    }
    if (attenuator) {
        rssi = static_cast<uint16_t>(rssi / 4);
    }
    if (ticks % BATTERY_DRAIN_TICKS == 0 && batteryCentiVolts > BATTERY_FLOOR) {
        --batteryCentiVolts;
    }
}

void RadioModel::Quiet()
{
    std::uniform_int_distribution<int> noise(0, 40);
    rssi = static_cast<uint16_t>(noise(rng));
    centering = 0;
}

bool RadioModel::Receives(const Transmission& t)
{
    const bool sweeping = !hold && (mode == Mode::Scan || mode == Mode::Fav || mode == Mode::Srch);
    if (!sweeping) {
        return frequencyHz == t.frequencyHz;
    }
    // A real scanner sweeps dozens of channels a second; this one finds a
    // call at once: on a stored channel while it scans, anywhere while it
    // searches.
    if (mode == Mode::Srch) {
        frequencyHz = t.frequencyHz;
    } else {
        int found = -1;
        for (int i = 0; i < ChannelCount() && found < 0; ++i) {
            if (ChannelFromRecord(image.data() + static_cast<size_t>(i) * IMAGE_RECORD_SIZE).frequencyHz ==
                t.frequencyHz) {
                found = i;
            }
        }
        if (found < 0) {
            return false;
        }
        SelectChannel(found);
    }
    modulation = t.modulation;
    return true;
}

void RadioModel::Listen(uint32_t nowMs)
{
    if (static_cast<int32_t>(nowMs - heardAt) < 0) {
        nowMs = heardAt;
    }
    heardAt = nowMs;
    if (receiving && (static_cast<int32_t>(nowMs - receiving->EndMs()) >= 0 ||
                      receiving->frequencyHz != frequencyHz)) {
        // The call has ended, or the user tuned away from it.
        receiving.reset();
        signal = false;
        Quiet();
    }
    if (receiving) {
        return;
    }
    if (mode == Mode::Wx) {
        // The weather channels broadcast without a pause.
        receiving = Transmission{nowMs, 0x7FFFFFFFu, frequencyHz, modulation, 420};
    } else {
        for (const Transmission& t : traffic.OnAir(nowMs)) {
            if (Receives(t)) {
                receiving = t;
                break;
            }
        }
    }
    if (receiving) {
        signal = true;
        rssi = receiving->strength;
        centering = 128;
        if (attenuator) {
            rssi = static_cast<uint16_t>(rssi / 4);
        }
    }
}

std::string RadioModel::Row(int index) const
{
    char text[64] = {};
    switch (index) {
    case 0:
        if (mode == Mode::Scan || mode == Mode::Man || mode == Mode::Pgm || mode == Mode::Fav) {
            std::snprintf(text, sizeof text, "%-5s CH %03d%s", ModeName(mode), channel + 1, hold ? " H" : "");
        } else {
            std::snprintf(text, sizeof text, "%-5s%s", ModeName(mode), hold ? " HOLD" : "");
        }
        return Fit(text);
    case 1:
        if (!entry.empty()) {
            return Fit(">" + entry + "_");
        }
        std::snprintf(text, sizeof text, "%4u.%04u MHz", frequencyHz / 1000000, frequencyHz % 1000000 / 100);
        return Fit(text);
    case 2:
        if (!message.empty()) {
            return Fit(message);
        }
        if (infoView == 1) {
            std::snprintf(text, sizeof text, "RSSI %4u", rssi);
        } else if (infoView == 2) {
            std::snprintf(text, sizeof text, "BATT %d.%02dV", batteryCentiVolts / 100, batteryCentiVolts % 100);
        } else if (ChannelCount() > 0 && mode != Mode::Tune && mode != Mode::Srch && mode != Mode::Wx) {
            const Channel c = ChannelFromRecord(image.data() + static_cast<size_t>(channel) * IMAGE_RECORD_SIZE);
            return Fit(c.name);
        } else {
            std::snprintf(text, sizeof text, "%-4s %s", ModulationName(modulation), attenuator ? "ATT" : "");
        }
        return Fit(text);
    default:
        // The soft keys F1, F2 and F3 under their captions.
        return Fit(funcShown ? "FUNC            " : "MOD  STEP  INFO ");
    }
}

uint8_t RadioModel::IconFlagsA() const
{
    const uint8_t bars = static_cast<uint8_t>(std::min<int>(5, rssi / 150));
    uint8_t flags = bars | ICON_A_BATTERY;
    if (mode == Mode::Srch) {
        flags |= ICON_A_S;
    }
    if (batteryCentiVolts < BATTERY_LOW) {
        flags |= ICON_A_BATTERY_LOW;
    }
    return flags;
}

uint8_t RadioModel::IconFlagsB() const
{
    uint8_t flags = 0;
    if (funcShown) {
        flags |= ICON_B_F;
    }
    if (attenuator) {
        flags |= ICON_B_A;
    }
    if (locked) {
        flags |= ICON_B_LOCK;
    }
    if (backlight) {
        flags |= ICON_B_LIGHT;
    }
    if (mode == Mode::Scan || mode == Mode::Srch || mode == Mode::Fav) {
        flags |= scanUp ? ICON_B_UP : ICON_B_DOWN;
    }
    return flags;
}

std::array<uint8_t, 70> RadioModel::LcdReply() const
{
    std::array<uint8_t, 70> reply{};
    reply[0] = STX;
    reply[1] = CMD_LCD;
    for (int r = 0; r < LCD_ROWS; ++r) {
        const std::string row = Row(r);
        std::copy(row.begin(), row.end(), reply.begin() + 2 + static_cast<std::ptrdiff_t>(LCD_COLUMNS) * r);
    }
    reply[66] = IconFlagsA();
    reply[67] = IconFlagsB();
    Seal(reply);
    return reply;
}

std::array<uint8_t, 16> RadioModel::StatusBlock() const
{
    std::array<uint8_t, 16> block{};
    block[0] = static_cast<uint8_t>(mode);
    block[1] = signal ? IND_RF_SQ : IND_MUTE;
    PutU16(&block[2], batteryCentiVolts);
    PutU16(&block[4], rssi);
    PutU16(&block[6], centering);
    // Green with a signal, amber while it looks for one, red when it sits idle.
    const bool looking = mode == Mode::Scan || mode == Mode::Srch || mode == Mode::Fav;
    block[8] = signal ? 0 : 255;
    block[9] = signal ? 255 : (looking ? 160 : 0);
    block[10] = 0;
    PutU32(&block[11], frequencyHz);
    block[15] = static_cast<uint8_t>(modulation);
    return block;
}

std::array<uint8_t, 20> RadioModel::StatusReply() const
{
    std::array<uint8_t, 20> reply{};
    reply[0] = STX;
    reply[1] = CMD_STATUS;
    const auto block = StatusBlock();
    std::copy(block.begin(), block.end(), reply.begin() + 2);
    Seal(reply);
    return reply;
}

} // namespace sim
