#include "audio/icecastencoder.h"

#include <lame/lame.h>
#include <opus/opusenc.h>

#include <random>

namespace audio {

namespace {

// Ogg Opus through libopusenc: it makes the Ogg pages and resamples to
// Opus's 48 kHz. A title's change ends the stream and chains a new one with
// the title in its comments, which is how a title travels in an Ogg stream.
// Each link is an encoder of its own, drained at its end: libopusenc 0.2.1's
// own chaining (ope_encoder_chain_current) gives the last page of the old
// link the new link's serial number, and servers and players throw that
// page, and the audio in it, away.
class OpusStreamEncoder final : public StreamEncoder {
public:
    OpusStreamEncoder(const StreamSettings& settings, const std::string& title)
        : bitrate(settings.bitrateKbps * 1000), serial(static_cast<int>(std::random_device()() & 0x7fffffff))
    {
        Begin(title);
    }

    ~OpusStreamEncoder() override
    {
        if (encoder != nullptr) {
            ope_encoder_destroy(encoder);
        }
    }

    bool Encode(const int16_t* samples, size_t count, std::vector<uint8_t>& out) override
    {
        const int status = ope_encoder_write(encoder, samples, static_cast<int>(count));
        if (status != OPE_OK) {
            error = std::string("The Opus encoder failed: ") + ope_strerror(status);
            return false;
        }
        written += count;
        TakePages(out);
        return true;
    }

    bool TitlesInStream() const override { return true; }

    bool Retitle(const std::string& title, std::vector<uint8_t>& out) override
    {
        // A link without a sample has sent nothing yet, not even its
        // headers, and libopusenc 0.2.1 aborts the program when it is
        // drained: it is simply dropped.
        if (written > 0) {
            ope_encoder_drain(encoder);
            TakePages(out);
        }
        ope_encoder_destroy(encoder);
        encoder = nullptr;
        ++serial;
        return Begin(title);
    }

private:
    bool Begin(const std::string& title)
    {
        OggOpusComments* comments = ope_comments_create();
        if (comments == nullptr) {
            error = "Out of memory for the Opus comments";
            return false;
        }
        if (!title.empty()) {
            ope_comments_add(comments, "TITLE", title.c_str());
        }
        int status = OPE_OK;
        encoder = ope_encoder_create_pull(comments, STREAM_SAMPLE_RATE, 1, 0, &status);
        ope_comments_destroy(comments);
        if (encoder == nullptr) {
            error = std::string("The Opus encoder could not be made: ") + ope_strerror(status);
            return false;
        }
        written = 0;
        ope_encoder_ctl(encoder, OPE_SET_SERIALNO(serial & 0x7fffffff));
        // A live stream wants its pages out soon: at most half a second of
        // audio waits in a page (libopusenc's default is a second), and the
        // encoder looks no further ahead than it must. Nobody edits a
        // stream's comments in place: no room kept for it.
        ope_encoder_ctl(encoder, OPE_SET_MUXING_DELAY(24000));
        ope_encoder_ctl(encoder, OPE_SET_DECISION_DELAY(0));
        ope_encoder_ctl(encoder, OPE_SET_COMMENT_PADDING(0));
        ope_encoder_ctl(encoder, OPUS_SET_BITRATE(bitrate));
        // Scanner audio is speech; the voice coder serves it at low rates,
        // and the input has nothing above 8 kHz for the wider bands.
        ope_encoder_ctl(encoder, OPUS_SET_SIGNAL(OPUS_SIGNAL_VOICE));
        ope_encoder_ctl(encoder, OPUS_SET_MAX_BANDWIDTH(OPUS_BANDWIDTH_WIDEBAND));
        // Complexity 5 of 10 takes a third less of the processor than the
        // default (bench_stream: 1.3 % of a core against 1.9 % at 32 kb/s),
        // which speech at this rate does not miss.
        ope_encoder_ctl(encoder, OPUS_SET_COMPLEXITY(5));
        return true;
    }

    void TakePages(std::vector<uint8_t>& out)
    {
        unsigned char* page = nullptr;
        opus_int32 length = 0;
        while (ope_encoder_get_page(encoder, &page, &length, 0) != 0) {
            out.insert(out.end(), page, page + length);
        }
    }

    OggOpusEnc* encoder = nullptr;
    int bitrate = 0;
    int serial = 0;     // each link's differs from the one before
    size_t written = 0; // samples in this link
};

// MP3 through LAME. At 16 kHz the stream is MPEG-2 layer III at the same
// rate, so nothing is resampled; the title goes to the server apart.
class Mp3StreamEncoder final : public StreamEncoder {
public:
    explicit Mp3StreamEncoder(const StreamSettings& settings) : lame(lame_init())
    {
        if (lame == nullptr) {
            error = "The MP3 encoder could not be made";
            return;
        }
        lame_set_in_samplerate(lame, STREAM_SAMPLE_RATE);
        lame_set_out_samplerate(lame, STREAM_SAMPLE_RATE);
        lame_set_num_channels(lame, 1);
        lame_set_mode(lame, MONO);
        lame_set_brate(lame, settings.bitrateKbps);
        // LAME's "fast" quality: speech from a scanner gains nothing
        // audible from the slower searches, and they cost the processor.
        lame_set_quality(lame, 7);
        // A stream has no end to go back to: no Xing/Info frame at its start.
        lame_set_bWriteVbrTag(lame, 0);
        if (lame_init_params(lame) < 0) {
            error = "The MP3 encoder does not take " + std::to_string(settings.bitrateKbps) + " kb/s at 16 kHz";
        }
    }

    ~Mp3StreamEncoder() override
    {
        if (lame != nullptr) {
            lame_close(lame);
        }
    }

    bool Encode(const int16_t* samples, size_t count, std::vector<uint8_t>& out) override
    {
        // LAME's own bound for what one call may write.
        const size_t room = count * 5 / 4 + 7200;
        const size_t had = out.size();
        out.resize(had + room);
        const int written = lame_encode_buffer(lame, samples, nullptr, static_cast<int>(count), out.data() + had,
                                               static_cast<int>(room));
        if (written < 0) {
            out.resize(had);
            error = "The MP3 encoder failed (" + std::to_string(written) + ")";
            return false;
        }
        out.resize(had + static_cast<size_t>(written));
        return true;
    }

    bool TitlesInStream() const override { return false; }
    bool Retitle(const std::string&, std::vector<uint8_t>&) override { return true; }

private:
    lame_global_flags* lame = nullptr;
};

} // namespace

std::unique_ptr<StreamEncoder> MakeStreamEncoder(const StreamSettings& settings, const std::string& title,
                                                 std::string& error)
{
    std::unique_ptr<StreamEncoder> encoder;
    if (settings.format == StreamFormat::OggOpus) {
        encoder = std::make_unique<OpusStreamEncoder>(settings, title);
    } else {
        encoder = std::make_unique<Mp3StreamEncoder>(settings);
    }
    // Each sets its error when it could not be made, and only then.
    if (!encoder->Error().empty()) {
        error = encoder->Error();
        return nullptr;
    }
    return encoder;
}

} // namespace audio
