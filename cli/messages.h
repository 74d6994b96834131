#pragma once

// What ostrellectl says to the user: one line on standard error each, the
// core's texts (written for a message box, over several lines) folded into it.

#include "cli/exitcodes.h"

#include <string>

namespace cli {

// The text on one line: runs of blanks and line breaks become one space, and
// a line break before a new sentence a full stop where the line had none.
std::string OneLine(const std::string& text);

// The text as a whole sentence: a full stop added unless it already ends
// in one, or in a question or an exclamation mark.
std::string Sentence(std::string text);

// Says `message` and returns `code` as the exit code.
int Fail(ExitCode code, const std::string& message);

// Says something that is no failure (a radio back after a hang-up, say).
void Notice(const std::string& text);

} // namespace cli
