#pragma once

// The stream's choice as the panel keeps it in its store (Ostrelle.ini,
// section [Stream]): the keys, the words and what counts as a setting are
// written once, here, for the panel (through Qt's settings) and for
// ostrellectl (through config/inistore.h) alike.

#include "audio/icecastsettings.h"

#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace audio {

inline constexpr std::string_view STREAM_SECTION = "Stream";

namespace streamkey {
inline constexpr std::string_view ON = "On";
inline constexpr std::string_view HOST = "Host";
inline constexpr std::string_view PORT = "Port";
inline constexpr std::string_view MOUNT = "Mount";
inline constexpr std::string_view USER = "User";
inline constexpr std::string_view PASSWORD = "Password";
inline constexpr std::string_view FORMAT = "Format";
inline constexpr std::string_view BITRATE = "BitrateKbps";
inline constexpr std::string_view NAME = "Name";
inline constexpr std::string_view DESCRIPTION = "Description";
inline constexpr std::string_view TITLE = "TitleFormat";
inline constexpr std::string_view BETWEEN_CALLS = "BetweenCalls";
} // namespace streamkey

// Words rather than numbers in the store, so that a reordered enum never
// turns one format into another.
inline constexpr std::string_view MP3_WORD = "mp3";
inline constexpr std::string_view OGG_OPUS_WORD = "ogg-opus";
inline constexpr std::string_view SILENCE_WORD = "silence";
inline constexpr std::string_view INPUT_WORD = "input";

struct KeptStream {
    bool on = false; // stream what the radio hears
    StreamSettings settings = DefaultKeptStream();

    // What a new user starts from: a server on this computer, with
    // Icecast's own source user.
    static StreamSettings DefaultKeptStream();
};

// A key's value as text, none when the store lacks it.
using KeptValue = std::function<std::optional<std::string>(std::string_view key)>;

// The choice in the store; what is missing or could be no setting (a port
// of 0, an unknown format) is the default.
KeptStream ReadKeptStream(const KeptValue& value);

} // namespace audio
