#include "cli/messages.h"

#include "cli/interrupt.h"

#include <cstdio>
#include <string_view>

namespace cli {

std::string OneLine(const std::string& text)
{
    std::string line;
    bool blank = false;
    bool brokeLine = false;
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '\n' || c == ' ' || c == '\t') {
            blank = true;
            brokeLine = brokeLine || c == '\n';
            continue;
        }
        if (blank && !line.empty()) {
            // A line that ends a sentence without saying so gets its full stop
            // when the next one starts a sentence of its own; a Windows path
            // ("Z:\images\backup.bin") on a line of its own starts none.
            const bool drive = i + 1 < text.size() && text[i + 1] == ':';
            const bool sentence = ((c >= 'A' && c <= 'Z') && !drive) || (c >= '0' && c <= '9');
            if (brokeLine && sentence && std::string_view(".:?!").find(line.back()) == std::string_view::npos) {
                line += '.';
            }
            line += ' ';
        }
        line += c;
        blank = false;
        brokeLine = false;
    }
    return line;
}

std::string Sentence(std::string text)
{
    if (!text.empty() && std::string_view(".?!").find(text.back()) == std::string_view::npos) {
        text += '.';
    }
    return text;
}

void Notice(const std::string& text)
{
    (void)std::fprintf(stderr, "ostrellectl: %s\n", OneLine(text).c_str());
}

int Fail(ExitCode code, const std::string& message)
{
    Notice(message);
    // An interrupt ends with the code of the signal that brought it.
    return code == ExitCode::Interrupted ? interrupt::SignalExitCode() : Code(code);
}

} // namespace cli
