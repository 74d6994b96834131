#include "messages.h"

#include <cstdio>

namespace cli {

std::string OneLine(const std::string& text)
{
    std::string line;
    for (const char c : text) {
        const bool blank = c == '\n' || c == ' ' || c == '\t';
        if (!blank) {
            line += c;
            continue;
        }
        if (line.empty()) {
            continue;
        }
        if (c == '\n' && line.back() != ' ' && line.back() != ':' && line.back() != '.') {
            line += '.';
        }
        if (line.back() != ' ') {
            line += ' ';
        }
    }
    while (!line.empty() && line.back() == ' ') {
        line.pop_back();
    }
    return line;
}

int Fail(ExitCode code, const std::string& message)
{
    (void)std::fprintf(stderr, "ostrellectl: %s\n", OneLine(message).c_str());
    return Code(code);
}

void Notice(const std::string& text)
{
    (void)std::fprintf(stderr, "ostrellectl: %s\n", OneLine(text).c_str());
}

} // namespace cli
