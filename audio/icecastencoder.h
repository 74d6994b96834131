#pragma once

// The encoders behind a stream: 16 kHz mono samples in, the bytes of the
// stream out, ready for the server. One encoder serves one connection: each
// connection starts a stream of its own, with its own headers.

#include "audio/icecastsettings.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace audio {

class StreamEncoder {
public:
    virtual ~StreamEncoder() = default;

    // Encodes `count` samples; whatever bytes are ready are appended to `out`.
    // False when the encoder failed (Error() says how).
    virtual bool Encode(const int16_t* samples, size_t count, std::vector<uint8_t>& out) = 0;

    // True when a title travels inside the stream (Ogg: in the comment
    // header of a new chained stream), false when the server must be told
    // (MP3: the metadata update).
    virtual bool TitlesInStream() const = 0;

    // With titles in the stream: the stream so far ends, its last bytes
    // appended to `out`, and the next samples begin a new one titled
    // `title`. False when the encoder failed.
    virtual bool Retitle(const std::string& title, std::vector<uint8_t>& out) = 0;

    const std::string& Error() const { return error; }

protected:
    std::string error;
};

// The encoder for settings.format at settings.bitrateKbps, its first title
// `title` (none when empty); null with `error` set when it cannot be made.
std::unique_ptr<StreamEncoder> MakeStreamEncoder(const StreamSettings& settings, const std::string& title,
                                                 std::string& error);

} // namespace audio
