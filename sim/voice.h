#pragma once

// The simulated radio's loudspeaker: while the radio hears a call, sound
// goes into a sound-server sink, as a real radio's line output goes into a
// PC's sound input. Either a tone of its own for each call, so that a test
// can tell the calls apart in what was recorded, or speech from espeak-ng
// naming the channel and the frequency. Between calls: silence.
//
// The sound goes out on a thread of the voice's own; the server's loop only
// says what is heard now, which never waits. A missing sound server is said
// once and looked for again; the radio goes on without a voice meanwhile.

#include "audio/streamthread.h"
#include "sim/traffic.h"

#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace sim {

enum class VoiceKind { None, Tones, Speech };

// The tone of the calls heard, counted from 0 since radiosim started: 400 Hz,
// 600 Hz, ... 3400 Hz, then again from 400 Hz. Far enough apart to tell
// from each other, and well inside what a 16 kHz recording keeps.
uint32_t VoiceToneHz(uint32_t call);

class Voice {
public:
    // `sink` empty: the server's default output.
    Voice(VoiceKind kind, std::string sink);
    ~Voice();
    Voice(const Voice&) = delete;
    Voice& operator=(const Voice&) = delete;

    // What the radio hears now, and the words that speak it; from the
    // server's loop, as often as it likes. A call that differs from the last
    // one (another start or frequency) is a new call.
    void Hear(const std::optional<Transmission>& call, const std::string& words);

private:
    struct Now {
        bool on = false;
        uint32_t call = 0; // the number of the call on the air
        uint32_t toneHz = 0;
        std::string words;
    };
    void Run();
    void Fill(const Now& now, int16_t* samples, size_t count);

    VoiceKind kind;
    std::string sink;
    std::mutex lock;
    Now now;
    std::optional<Transmission> last;
    uint32_t calls = 0;

    // The voice thread's own.
    uint64_t phase = 0;               // samples of the tone so far
    uint32_t spokenCall = UINT32_MAX; // the call `speech` speaks
    std::vector<int16_t> speech;      // at the output's rate
    size_t spoken = 0;
    // Last, so that it stops before anything it uses goes.
    StreamThread thread;
};

} // namespace sim
