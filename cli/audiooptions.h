#pragma once

// The options of what the station hears: the input, recording each hit and
// the live stream. Read beside the rest of the command line, kept apart so
// that they go with watch and serve alone.

#include "cli/options.h"

#include <string>
#include <vector>

namespace cli {

// Reads the audio option `name` (its value after '=' in `inlineValue`, else
// the word after it at args[i + 1], i moved past it). False when `name` is
// none of them; otherwise true, with `error` set when the option is wrong.
// `commandSeen`: a word after --record is its folder only once the command
// has been given, so that "--record watch" still names the command.
bool TakeAudioOption(const std::string& name, const std::string* inlineValue, const std::vector<std::string>& args,
                     size_t& i, bool commandSeen, Options& options, std::string& error);

// False with a one-line reason when the audio options do not fit the command.
bool AudioOptionsFit(const Options& options, std::string& error);

} // namespace cli
