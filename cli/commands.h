#pragma once

#include "options.h"

namespace cli {

// Carries out a parsed command line; returns the exit code (exitcodes.h).
int Run(const Options& options);

} // namespace cli
