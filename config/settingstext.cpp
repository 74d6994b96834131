#include "config/settingstext.h"

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <system_error>
#if defined(__GLIBC__)
#include <locale.h>
#endif

namespace settingstext {

namespace {

bool IsBlank(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// Reads "[blanks][sign]digits" from `pos`; false (and `pos` unchanged) when
// there are no digits. Values beyond the int range stick at its ends.
bool ScanInt(std::string_view text, std::size_t& pos, int& value)
{
    std::size_t i = pos;
    while (i < text.size() && IsBlank(text[i])) {
        ++i;
    }
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
        negative = text[i] == '-';
        ++i;
    }
    const std::size_t digitsStart = i;
    long long magnitude = 0;
    const long long limit = negative ? -static_cast<long long>(INT_MIN) : INT_MAX;
    while (i < text.size() && text[i] >= '0' && text[i] <= '9') {
        magnitude = std::min(limit, magnitude * 10 + (text[i] - '0'));
        ++i;
    }
    if (i == digitsStart) {
        return false;
    }
    value = static_cast<int>(negative ? -magnitude : magnitude);
    pos = i;
    return true;
}

} // namespace

int LeadingInt(std::string_view text)
{
    return FindLeadingInt(text).value_or(0);
}

std::optional<int> FindLeadingInt(std::string_view text)
{
    std::size_t pos = 0;
    int value = 0;
    return ScanInt(text, pos, value) ? std::optional<int>(value) : std::nullopt;
}

double LeadingDouble(std::string_view text)
{
    // The conversion wants a terminated text; a NUL inside ends it, as it
    // would for the C library reading the line.
    const std::string copy(text.substr(0, text.find('\0')));
#if defined(__GLIBC__)
    // The application runs in the user's locale, where the decimal mark may
    // be a comma; the file is always written with a point.
    static const locale_t cLocale = newlocale(LC_ALL_MASK, "C", nullptr);
    if (cLocale != nullptr) {
        return strtod_l(copy.c_str(), nullptr, cLocale);
    }
#endif
    return std::strtod(copy.c_str(), nullptr);
}

bool ParsePair(std::string_view text, int& first, int& second)
{
    std::size_t pos = 0;
    int a = 0;
    int b = 0;
    if (!ScanInt(text, pos, a) || pos >= text.size() || text[pos] != ',') {
        return false;
    }
    ++pos;
    if (!ScanInt(text, pos, b)) {
        return false;
    }
    first = a;
    second = b;
    return true;
}

std::vector<std::string> ReadLeadingLines(const std::string& path, std::size_t count)
{
    std::vector<std::string> lines;
    std::error_code ec;
    if (!std::filesystem::is_regular_file(path, ec) || ec) {
        return lines;
    }
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) {
        return lines;
    }
    std::string line;
    bool inLine = false;
    int c = 0;
    while (lines.size() < count && (c = std::fgetc(file)) != EOF) {
        inLine = true;
        if (c == '\n') {
            if (!line.empty() && line.back() == '\r') {
                line.pop_back();
            }
            lines.push_back(std::move(line));
            line.clear();
            inLine = false;
        } else if (line.size() < MAX_LINE) {
            line += static_cast<char>(c);
        }
    }
    if (inLine && lines.size() < count) {
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        lines.push_back(std::move(line));
    }
    (void)std::fclose(file); // read only: nothing to lose
    return lines;
}

} // namespace settingstext
