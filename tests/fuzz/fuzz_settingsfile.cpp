// The settings file is the user's to edit: whatever it holds, reading it
// line by line must end, keep each line within its bound, and give defined
// numbers the way the C library would read them.

#include "panel/settingsfile.h"

#include <QBuffer>
#include <QByteArray>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <string>

namespace {

int StrtolAsInt(const std::string& text)
{
    const std::string upToNul = text.substr(0, text.find('\0'));
    errno = 0;
    const long value = std::strtol(upToNul.c_str(), nullptr, 10);
    if (value > INT_MAX) {
        return INT_MAX;
    }
    if (value < INT_MIN) {
        return INT_MIN;
    }
    return static_cast<int>(value);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    QByteArray bytes(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    QBuffer file(&bytes);
    // Opened as the window opens the real file.
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text)) {
        std::abort();
    }
    size_t lines = 0;
    const size_t mostLines = static_cast<size_t>(bytes.count('\n')) + 1;
    while (!file.atEnd()) {
        if (++lines > mostLines) {
            std::abort(); // a read that does not move on would never end
        }
        const std::string line = settingsfile::ReadLine(file);
        if (line.size() > settingsfile::MAX_LINE || line.find('\n') != std::string::npos) {
            std::abort();
        }
        const int number = settingsfile::LeadingInt(line);
        if (number != StrtolAsInt(line)) {
            std::abort();
        }
        (void)settingsfile::LeadingDouble(line);
        int first = 0;
        int second = 0;
        if (settingsfile::ParsePair(line, first, second) && first != number) {
            std::abort();
        }
    }
    return 0;
}
