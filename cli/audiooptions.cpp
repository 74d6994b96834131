#include "cli/audiooptions.h"

namespace cli {

bool AudioOptionsFit(const Options& o, std::string& error)
{
    const bool streams = Streams(o);
    if (streams && o.command == "watch" && !o.hits) {
        error = o.streamSettings ? "--stream-settings goes with watch --hits and serve"
                                 : "--stream goes with watch --hits and serve";
    } else if (o.streamSettings && !o.streamUrl.empty()) {
        error = "--stream and --stream-settings both say where to stream: give one";
    } else if (!o.streamPasswordFile.empty() && !streams) {
        error = "--stream-password-file goes with --stream";
    } else if (!o.audioDevice.empty() && !o.record && !streams) {
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
