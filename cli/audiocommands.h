#pragma once

// What the station hears, from the command line: the inputs there are, and
// for watch and serve the capture, a recording of each hit and the live
// stream, with what they say going to standard error.

#include "cli/exitcodes.h"
#include "cli/messages.h"
#include "cli/options.h"

#include <string>

#if !defined(_WIN32)
#include "audio/icecaststream.h"
#include "audio/recordingfiles.h"
#endif

class Station;

namespace cli {

#if defined(_WIN32)
// The Windows build hears nothing: the options that would are refused first.
inline int CommandAudioDevices(const Options& /*options*/)
{
    return Fail(ExitCode::Usage, "audio-devices is not part of the Windows build; run it on Linux");
}
class StationSound {
public:
    bool Prepare(const Options& /*options*/, int& /*code*/) { return true; }
    void Start(Station& /*station*/) {}
    void Say(Station& /*station*/) {}
};
#else

// audio-devices: the sound server's inputs, one per line.
int CommandAudioDevices(const Options& options);

class StationSound {
public:
    // Checks what the options ask for (the stream's URL and password)
    // before the port is touched; false with the exit code, the reason said.
    bool Prepare(const Options& options, int& code);
    // After StartActivity: listening, recording and streaming as asked.
    void Start(Station& station);
    // Says on standard error what the sound parts said since, and the
    // stream's state when it changed. On the owner's thread, when woken.
    void Say(Station& station);

private:
    bool record = false;
    std::string folder;
    RecordingFormat format = DEFAULT_RECORDING_FORMAT;
    std::string input;
    bool streams = false;
    audio::StreamSettings stream;
    std::string shownState;
    bool saidCapturing = false;
};
#endif

} // namespace cli
