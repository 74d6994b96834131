#include "sim/options.h"

#include <charconv>
#include <climits>
#include <functional>
#include <map>

namespace sim {

namespace {

bool ToNumber(const std::string& text, long minimum, long maximum, long& value)
{
    const char* end = text.data() + text.size();
    const auto [at, ec] = std::from_chars(text.data(), end, value);
    return ec == std::errc() && at == end && value >= minimum && value <= maximum;
}

struct Switch {
    bool takesValue = false;
    long minimum = 0;
    long maximum = 0;
    std::function<void(SimOptions&, const std::string&, long)> apply;
};

const std::map<std::string, Switch>& Switches()
{
    using O = SimOptions;
    using S = const std::string&;
    static const std::map<std::string, Switch> table = {
        {"--help", {false, 0, 0, [](O& o, S, long) { o.help = true; }}},
        {"--link", {true, 0, 0, [](O& o, S v, long) { o.linkPath = v; }}},
        {"--trace", {false, 0, 0, [](O& o, S, long) { o.trace = true; }}},
        {"--trace-file", {true, 0, 0, [](O& o, S v, long) { o.traceFile = v; }}},
        {"--seed", {true, 0, UINT32_MAX, [](O& o, S, long n) { o.seed = static_cast<uint32_t>(n); }}},
        {"--activity", {true, 0, 0, [](O& o, S v, long) { o.activityFile = v; }}},
        {"--traffic", {true, 0, 600, [](O& o, S, long n) { o.trafficPerMinute = static_cast<int>(n); }}},
        {"--voice", {true, 0, 0, [](O& o, S v, long) {
                         o.voice = v == "tones" ? VoiceKind::Tones : v == "speech" ? VoiceKind::Speech : VoiceKind::None;
                         o.voiceName = v;
                     }}},
        {"--voice-sink", {true, 0, 0, [](O& o, S v, long) { o.voiceSink = v; }}},
        {"--image", {true, 0, 0, [](O& o, S v, long) { o.imageFile = v; }}},
        {"--records", {true, 0, 100000, [](O& o, S, long n) { o.records = static_cast<int>(n); }}},
        {"--expect-records", {true, 0, 100000, [](O& o, S, long n) { o.expectRecords = static_cast<int>(n); }}},
        {"--ready-junk", {true, 0, 100000, [](O& o, S, long n) { o.readyJunk = static_cast<int>(n); }}},
        {"--ready-delay", {true, 0, 600000, [](O& o, S, long n) { o.readyDelayMs = static_cast<int>(n); }}},
        {"--never-ready", {false, 0, 0, [](O& o, S, long) { o.neverReady = true; }}},
        {"--pause-at", {true, 0, LONG_MAX, [](O& o, S, long n) { o.pauseAt = n; }}},
        {"--pause-ms", {true, 0, 600000, [](O& o, S, long n) { o.pauseMs = static_cast<int>(n); }}},
        {"--no-reply", {false, 0, 0, [](O& o, S, long) { o.noReply = true; }}},
        {"--delay", {true, 0, 600000, [](O& o, S, long n) { o.delayMs = static_cast<int>(n); }}},
        {"--junk", {true, 0, 4096, [](O& o, S, long n) { o.junk = static_cast<int>(n); }}},
        {"--truncate", {true, 0, 4096, [](O& o, S, long n) { o.truncate = static_cast<int>(n); }}},
        {"--drop", {true, 0, 100, [](O& o, S, long n) { o.dropPercent = static_cast<int>(n); }}},
        {"--wrong-letter", {false, 0, 0, [](O& o, S, long) { o.wrongLetter = true; }}},
        {"--hangup-after", {true, 0, 86400000, [](O& o, S, long n) { o.hangupAfterMs = static_cast<int>(n); }}},
        {"--flood", {true, 0, 3600, [](O& o, S, long n) { o.floodSeconds = static_cast<int>(n); }}},
    };
    return table;
}

} // namespace

bool ParseOptions(const std::vector<std::string>& args, SimOptions& options, std::string& error)
{
    for (size_t i = 0; i < args.size(); ++i) {
        const auto found = Switches().find(args[i]);
        if (found == Switches().end()) {
            error = "unknown argument: " + args[i];
            return false;
        }
        const Switch& s = found->second;
        std::string value;
        long number = 0;
        if (s.takesValue) {
            if (i + 1 >= args.size()) {
                error = args[i] + " needs a value";
                return false;
            }
            value = args[++i];
            const bool numeric = s.maximum != 0;
            if (numeric && !ToNumber(value, s.minimum, s.maximum, number)) {
                error = found->first + " takes a whole number from " + std::to_string(s.minimum) + " to " +
                        std::to_string(s.maximum) + ", not \"" + value + "\"";
                return false;
            }
            if (!numeric && value.empty()) {
                error = found->first + " needs a non-empty value";
                return false;
            }
        }
        s.apply(options, value, number);
    }
    if (!options.voiceName.empty() && options.voice == VoiceKind::None) {
        error = "--voice is tones or speech, not \"" + options.voiceName + "\"";
        return false;
    }
    if (options.pauseMs > 0 && options.pauseAt < 0) {
        error = "--pause-ms needs --pause-at";
        return false;
    }
    return true;
}

const char* UsageText()
{
    return "Usage: radiosim [--link PATH] [options]\n"
           "A simulated Quelmar scanner on a pseudo-terminal. The first line printed\n"
           "is the path of the terminal; PATH, when given, becomes a link to it\n"
           "(e.g. ports/COM1 in ostrelle's settings folder, which its About box\n"
           "names). Ends on SIGINT or SIGTERM.\n"
           "\n"
           "  --trace              print every frame both ways with a time stamp\n"
           "  --trace-file FILE    write the same lines to FILE\n"
           "  --seed N             seed of everything that varies (default 1)\n"
           "\n"
           "On the air (the radio stops on a call while it scans or searches, and\n"
           "hears one on the frequency it is tuned to in the other modes):\n"
           "  --traffic N          random calls, about N a minute on a few busy\n"
           "                       channels of the image (default 6, 0: none)\n"
           "  --activity FILE      play these calls instead of random ones, one a line:\n"
           "                         START  FREQUENCY  MODULATION  DURATION  STRENGTH\n"
           "                       START and DURATION in seconds (START from radiosim's\n"
           "                       start, which it names on standard error), FREQUENCY\n"
           "                       in MHz, MODULATION AM, FM, NFM or AUTO, STRENGTH the\n"
           "                       RSSI reading while it is heard; blanks or commas\n"
           "                       between fields, '#' begins a comment. E.g.\n"
           "                         1.5  144.012500  FM  2.0  620\n"
           "  --voice tones        while a call is heard, play a tone of its own into a\n"
           "                       sound-server sink: 400 Hz for the first call heard,\n"
           "                       600 Hz for the second, up to 3400 Hz, then again\n"
           "                       (standard error names each call's tone)\n"
           "  --voice speech       say the channel and the frequency instead (espeak-ng)\n"
           "  --voice-sink NAME    the sink (default: the sound server's default output)\n"
           "\n"
           "Memory image:\n"
           "  --image FILE         send this image (a multiple of 132 bytes) and save\n"
           "                       what is received into it\n"
           "  --records N          records of the built-in image (default 200)\n"
           "  --expect-records N   records an upload ends after (default: image size)\n"
           "  --ready-junk N       junk bytes before the ready byte of an upload\n"
           "  --ready-delay MS     wait before the ready byte\n"
           "  --never-ready        never send the ready byte\n"
           "  --pause-at OFFSET --pause-ms MS   pause the image stream once\n"
           "\n"
           "Faults:\n"
           "  --no-reply           answer no poll\n"
           "  --delay MS           answer polls late\n"
           "  --junk N             N junk bytes before each reply\n"
           "  --truncate N         cut replies to N bytes\n"
           "  --drop PERCENT       drop that share of replies\n"
           "  --wrong-letter       replies carry a wrong command letter\n"
           "  --hangup-after MS    hang up the line after MS and exit\n"
           "  --flood SECONDS      junk at line speed for that long, then normal\n";
}

} // namespace sim
