#include "cli/audiocommands.h"

#include "audio/capture.h"
#include "audio/hitrecorder.h"
#include "audio/recordingfiles.h"
#include "audio/streamstore.h"
#include "audio/streamurl.h"
#include "cli/audiooptions.h"
#include "cli/commands.h"
#include "config/inistore.h"
#include "serial/keptfiles.h"
#include "transfer/radiomemory.h"
#include "cli/exitcodes.h"
#include "cli/messages.h"
#include "station/station.h"

#include <cstdlib>

namespace cli {

namespace {

// The panel's Stream... choice, from the store beside the settings file.
audio::StreamFromUrl PanelStream(const Options& o)
{
    const std::string path = KeptFilesDirectory() + "/" + std::string(STORE_FILE_NAME);
    IniValues values;
    audio::StreamFromUrl read;
    if (!ReadIniSection(path, audio::STREAM_SECTION, values, read.error)) {
        return read;
    }
    if (values.empty()) {
        read.error = "No stream is set up in " + path + ": set one up with Stream... in the panel, or give --stream URL";
        return read;
    }
    const audio::KeptStream kept = audio::ReadKeptStream([&values](std::string_view key) -> std::optional<std::string> {
        const auto found = values.find(key);
        return found == values.end() ? std::nullopt : std::optional(found->second);
    });
    // The password as for a URL: a file, or the variable, before the store's.
    read = audio::ReadStreamUrl(audio::IcecastUrlText(kept.settings), o.streamPasswordFile,
                                std::getenv(audio::STREAM_PASSWORD_VARIABLE), kept.settings);
    if (read.error.empty() && !kept.on) {
        read.warning = "The panel's stream is switched off; streaming with its settings as asked.";
    }
    return read;
}

} // namespace

int CommandAudioDevices(const Options& /*options*/)
{
    const AudioInputs found = ListSoundServerInputs(SystemClock());
    if (!found.error.empty()) {
        return Fail(ExitCode::PortUnavailable, found.error);
    }
    std::string text;
    for (const AudioInput& input : found.inputs) {
        text += input.name + "  " + input.description + (input.name == found.defaultName ? "  (default)" : "") + "\n";
    }
    if (found.inputs.empty()) {
        text = "The sound server has no inputs.\n";
    }
    (void)Emit(text);
    return Code(ExitCode::Done);
}

bool StationSound::Prepare(const Options& o, int& code)
{
    record = o.record.has_value();
    folder = o.record.value_or("").empty() ? DefaultRecordingFolder() : *o.record;
    input = o.audioDevice;
    if (!o.recordFormat.empty() && !ParseRecordingFormat(o.recordFormat, format)) {
        code = Fail(ExitCode::Usage, "--record-format takes opus, flac or wav, not '" + o.recordFormat + "'");
        return false;
    }
    streams = Streams(o);
    if (!streams) {
        return true;
    }
    const audio::StreamFromUrl read =
        o.streamSettings ? PanelStream(o)
                         : audio::ReadStreamUrl(o.streamUrl, o.streamPasswordFile,
                                                std::getenv(audio::STREAM_PASSWORD_VARIABLE));
    if (!read.error.empty()) {
        code = Fail(ExitCode::Usage, read.error);
        return false;
    }
    if (!read.warning.empty()) {
        Notice(read.warning);
    }
    if (const std::string problem = audio::CheckStreamSettings(read.settings); !problem.empty()) {
        code = Fail(ExitCode::Usage, problem);
        return false;
    }
    stream = read.settings;
    return true;
}

void StationSound::Start(Station& station)
{
    if (!record && !streams) {
        return;
    }
    if (record) {
        RecorderSettings settings;
        settings.folder = folder;
        settings.format = format;
        station.StartRecording(settings);
        Notice("Recording each hit into " + folder + ".");
    }
    if (streams) {
        // Checked in Prepare: the settings stream.
        (void)station.StartStreaming(stream);
    }
    station.StartListening(input);
    Say(station);
}

void StationSound::Say(Station& station)
{
    // Once sound comes, where from: the input a default stood for is named.
    const AudioCapture* capture = station.Capture();
    if (!saidCapturing && capture != nullptr && capture->SamplesCaptured() > 0) {
        Notice(capture->StateText() + ".");
        saidCapturing = true;
    }
    for (const std::string& said : station.TakeSoundNotices()) {
        Notice(said);
    }
    if (!streams) {
        return;
    }
    const std::string state = station.StreamStatus().Text();
    if (state != shownState) {
        Notice(state);
        shownState = state;
    }
}

} // namespace cli
