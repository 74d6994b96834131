#include "audio/streamstore.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <type_traits>

namespace audio {

StreamSettings KeptStream::DefaultKeptStream()
{
    StreamSettings settings;
    settings.host = "localhost";
    settings.mount = "/scanner";
    return settings;
}

KeptStream ReadKeptStream(const KeptValue& value)
{
    KeptStream kept;
    StreamSettings& s = kept.settings;
    const auto text = [&](std::string_view key, std::string& into) {
        if (std::optional<std::string> v = value(key)) {
            into = std::move(*v);
        }
    };
    const auto number = [&](std::string_view key, int lowest, int highest, auto& into) {
        const std::string v = value(key).value_or("");
        int n = 0;
        const auto [end, failed] = std::from_chars(v.data(), v.data() + v.size(), n);
        if (failed == std::errc{} && end == v.data() + v.size() && n >= lowest && n <= highest) {
            into = static_cast<std::remove_reference_t<decltype(into)>>(n);
        }
    };
    if (std::optional<std::string> on = value(streamkey::ON)) {
        // As Qt reads a text as a truth: all but nothing, "0" and "false".
        std::transform(on->begin(), on->end(), on->begin(), [](unsigned char c) { return std::tolower(c); });
        kept.on = !on->empty() && *on != "0" && *on != "false";
    }
    text(streamkey::HOST, s.host);
    text(streamkey::MOUNT, s.mount);
    text(streamkey::USER, s.user);
    text(streamkey::PASSWORD, s.password);
    text(streamkey::NAME, s.name);
    text(streamkey::DESCRIPTION, s.description);
    text(streamkey::TITLE, s.titleFormat);
    number(streamkey::PORT, 1, 65535, s.port);
    number(streamkey::BITRATE, MIN_STREAM_KBPS, MAX_STREAM_KBPS, s.bitrateKbps);
    if (value(streamkey::FORMAT) == OGG_OPUS_WORD) {
        s.format = StreamFormat::OggOpus;
    }
    if (value(streamkey::BETWEEN_CALLS) == INPUT_WORD) {
        s.betweenCalls = BetweenCalls::Input;
    }
    return kept;
}

} // namespace audio
