#include "protocol/frames.h"

#include <algorithm>

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

std::optional<uint32_t> TuneHzOf(double hz)
{
    // Compared before the cut, so that 4294967295.9 still fits and
    // 4294967296 does not; NaN fails both comparisons.
    if (!(hz >= 0.0 && hz < static_cast<double>(TUNE_HZ_MAX) + 1.0)) {
        return std::nullopt;
    }
    return static_cast<uint32_t>(hz);
}

std::array<uint8_t, TUNE_FRAME_LENGTH> TuneFrame(uint32_t hz, int32_t modulation)
{
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
