#include "protocol/frames.h"

#include <algorithm>
#include <cmath>

namespace {

template <typename Pred>
std::optional<KeyDef> FindKey(Pred pred)
{
    const auto it = std::find_if(keyTable.begin(), keyTable.end(), pred);
    if (it == keyTable.end()) {
        return std::nullopt;
    }
    return *it;
}

} // namespace

std::optional<KeyDef> KeyByCode(KeyCode code)
{
    return FindKey([code](const KeyDef& k) { return k.code == code; });
}

std::optional<KeyDef> KeyByCaption(std::string_view caption)
{
    return FindKey([caption](const KeyDef& k) { return k.caption == caption; });
}

std::optional<KeyDef> KeyByName(std::string_view name)
{
    const auto upper = [](char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; };
    return FindKey([&](const KeyDef& k) {
        return k.caption.size() == name.size() &&
               std::equal(name.begin(), name.end(), k.caption.begin(), [&](char a, char b) { return upper(a) == b; });
    });
}

std::array<uint8_t, KEY_FRAME_LENGTH> KeyFrame(KeyCode code)
{
    std::array<uint8_t, KEY_FRAME_LENGTH> frame{STX, CMD_KEY, code, ETX, 0};
    frame[4] = Checksum(frame.data(), frame.size());
    return frame;
}

uint32_t TuneHz(double frequencyMHz)
{
    const double hz = std::trunc(frequencyMHz * 1000000.0);
    if (!std::isfinite(hz)) {
        return 0; // NaN or infinity has no integer to take the low bits of
    }
    // The low 32 bits of the integer, for values of any size, without the
    // undefined conversion of an out-of-range double.
    double low = std::fmod(hz, 4294967296.0);
    if (low < 0) {
        low += 4294967296.0;
    }
    return static_cast<uint32_t>(low);
}

bool TuneFrequencyFits(double frequencyMHz)
{
    // Compared as the frame's hertz, after the same truncation, so that
    // 4294.9672959 still fits and 4294.967296 does not; NaN fails both tests.
    return frequencyMHz >= 0.0 && std::trunc(frequencyMHz * 1000000.0) <= 4294967295.0;
}

std::array<uint8_t, TUNE_FRAME_LENGTH> TuneFrame(double frequencyMHz, int32_t modulation)
{
    const uint32_t hz = TuneHz(frequencyMHz);
    std::array<uint8_t, TUNE_FRAME_LENGTH> frame{
        STX,
        CMD_TUNE,
        static_cast<uint8_t>(hz & 0xFF),
        static_cast<uint8_t>((hz >> 8) & 0xFF),
        static_cast<uint8_t>((hz >> 16) & 0xFF),
        static_cast<uint8_t>((hz >> 24) & 0xFF),
        static_cast<uint8_t>(modulation & 0xFF),
        ETX,
        0,
    };
    frame[8] = Checksum(frame.data(), frame.size());
    return frame;
}
