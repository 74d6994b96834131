#pragma once

// What the table of options cannot say of the options of what the station
// hears: which of them need another, or a form of the command.

#include "cli/options.h"

#include <string>

namespace cli {

// False with a one-line reason when the audio options do not fit the command.
bool AudioOptionsFit(const Options& options, std::string& error);

// Streaming was asked for, to a URL or as the panel's settings say.
inline bool Streams(const Options& options)
{
    return !options.streamUrl.empty() || options.streamSettings;
}

} // namespace cli
