#include "cli/audiooptions.h"

namespace cli {

bool TakeAudioOption(const std::string& name, const std::string* inlineValue, const std::vector<std::string>& args,
                     size_t& i, bool commandSeen, Options& o, std::string& error)
{
    const auto value = [&](std::string& into) {
        if (inlineValue != nullptr) {
            into = *inlineValue;
        } else if (i + 1 < args.size()) {
            into = args[++i];
        } else {
            error = name + " needs a value";
            return false;
        }
        if (into.empty()) {
            error = name + " needs a value";
            return false;
        }
        return true;
    };
    if (name == "--record") {
        o.record = true;
        if (inlineValue != nullptr) {
            o.recordFolder = *inlineValue;
        } else if (commandSeen && i + 1 < args.size() && !args[i + 1].empty() && args[i + 1][0] != '-') {
            o.recordFolder = args[++i];
        }
    } else if (name == "--audio-device") {
        o.audioDeviceGiven = value(o.audioDevice);
    } else if (name == "--stream") {
        (void)value(o.streamUrl);
    } else if (name == "--stream-password-file") {
        (void)value(o.streamPasswordFile);
    } else {
        return false;
    }
    return true;
}

bool AudioOptionsFit(const Options& o, std::string& error)
{
    const bool watchHits = o.command == "watch" && o.hits;
    const bool streams = !o.streamUrl.empty();
    if (o.record && !watchHits) {
        error = "--record goes with watch --hits";
    } else if (streams && !watchHits && o.command != "serve") {
        error = "--stream goes with watch --hits and serve";
    } else if (!o.streamPasswordFile.empty() && !streams) {
        error = "--stream-password-file goes with --stream";
    } else if (o.audioDeviceGiven && !o.record && !streams) {
        error = "--audio-device goes with --record and --stream";
    } else {
#if defined(_WIN32)
        if (o.record || streams) {
            error = "recording and streaming are not part of the Windows build; run them on Linux";
            return false;
        }
#endif
        return true;
    }
    return false;
}

} // namespace cli
