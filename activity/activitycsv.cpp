#include "activity/activitycsv.h"

#include "protocol/statustext.h"

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <system_error>

namespace {

// Rows written before the recording's column have one field less.
constexpr size_t FIELDS = 9;
constexpr size_t OLDER_FIELDS = FIELDS - 1;

bool RowWidth(size_t fields)
{
    return fields == FIELDS || fields == OLDER_FIELDS;
}

template <typename Number> bool WholeNumber(std::string_view text, Number& value)
{
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    return ec == std::errc() && end == text.data() + text.size() && !text.empty();
}

// "digits[.digits]" scaled by 10^places, at most `places` decimals.
bool Decimal(std::string_view text, int places, uint64_t& value)
{
    const size_t dot = text.find('.');
    const std::string_view whole = text.substr(0, dot);
    std::string_view fraction = dot == std::string_view::npos ? std::string_view() : text.substr(dot + 1);
    uint64_t units = 0;
    if (whole.empty() || whole.size() > 12 || !WholeNumber(whole, units) ||
        fraction.size() > static_cast<size_t>(places) || (dot != std::string_view::npos && fraction.empty())) {
        return false;
    }
    uint64_t part = 0;
    if (!fraction.empty() && !WholeNumber(fraction, part)) {
        return false;
    }
    for (size_t i = fraction.size(); i < static_cast<size_t>(places); ++i) {
        part *= 10;
    }
    uint64_t scale = 1;
    for (int i = 0; i < places; ++i) {
        scale *= 10;
    }
    value = units * scale + part;
    return true;
}

bool HitOfFields(const std::vector<std::string>& f, Hit& hit)
{
    uint64_t duration = 0;
    uint64_t hz = 0;
    if (!RowWidth(f.size()) || !ParseIsoLocalTime(f[0], hit.startMs, hit.utcOffsetMinutes) ||
        !Decimal(f[1], 3, duration) || duration > UINT32_MAX || !Decimal(f[2], 6, hz) || hz > UINT32_MAX ||
        !WholeNumber(std::string_view(f[6]), hit.rssiMax) || !WholeNumber(std::string_view(f[7]), hit.rssiMean)) {
        return false;
    }
    hit.durationMs = static_cast<uint32_t>(duration);
    hit.frequencyHz = static_cast<uint32_t>(hz);
    hit.modulation = f[3];
    hit.mode = f[4];
    hit.display = f[5];
    hit.recording = f.size() == FIELDS ? f[8] : std::string();
    return true;
}

} // namespace

std::string CsvField(std::string_view text)
{
    const bool quoted = text.find_first_of(",\"\r\n") != std::string_view::npos ||
                        (!text.empty() && (text.front() == ' ' || text.back() == ' '));
    if (!quoted) {
        return std::string(text);
    }
    std::string field = "\"";
    for (const char c : text) {
        field += c;
        if (c == '"') {
            field += '"';
        }
    }
    return field + "\"";
}

std::string DurationText(uint32_t durationMs)
{
    char text[24] = {};
    (void)std::snprintf(text, sizeof text, "%u.%03u", durationMs / 1000, durationMs % 1000);
    return text;
}

std::string HitCsvRow(const Hit& hit)
{
    return IsoLocalTime(hit.startMs, hit.utcOffsetMinutes) + "," + DurationText(hit.durationMs) + "," +
           statustext::FrequencyText(hit.frequencyHz) + "," + CsvField(hit.modulation) + "," + CsvField(hit.mode) +
           "," + CsvField(hit.display) + "," + std::to_string(hit.rssiMax) + "," + std::to_string(hit.rssiMean) +
           "," + CsvField(hit.recording);
}

std::string ActivityFileName(Day day)
{
    return std::string(ACTIVITY_FILE_PREFIX) + DayText(day) + std::string(ACTIVITY_FILE_SUFFIX);
}

bool ParseActivityFileName(std::string_view name, Day& day)
{
    const size_t length = ACTIVITY_FILE_PREFIX.size() + 10 + ACTIVITY_FILE_SUFFIX.size();
    return name.size() == length && name.substr(0, ACTIVITY_FILE_PREFIX.size()) == ACTIVITY_FILE_PREFIX &&
           name.substr(length - ACTIVITY_FILE_SUFFIX.size()) == ACTIVITY_FILE_SUFFIX &&
           ParseDayText(name.substr(ACTIVITY_FILE_PREFIX.size(), 10), day);
}

std::vector<Day> ActivityDays(const std::string& directory)
{
    namespace fs = std::filesystem;
    std::vector<Day> days;
    std::error_code ec;
    for (fs::directory_iterator it(directory, ec), end; !ec && it != end; it.increment(ec)) {
        Day day;
        if (ParseActivityFileName(it->path().filename().string(), day) && it->is_regular_file(ec)) {
            days.push_back(day);
        }
    }
    std::sort(days.begin(), days.end());
    return days;
}

ActivityFileContents ParseActivityCsv(std::string_view text)
{
    ActivityFileContents contents;
    std::vector<std::string> fields;
    std::string field;
    bool quoted = false;     // inside a quoted field
    bool rowStarted = false;
    bool firstRow = true;
    const auto endRow = [&] {
        fields.push_back(std::move(field));
        field.clear();
        if (firstRow && RowWidth(fields.size()) && fields[0] == "start") {
            // The header.
        } else if (Hit hit; HitOfFields(fields, hit)) {
            contents.hits.push_back(std::move(hit));
        } else {
            ++contents.skipped;
        }
        firstRow = false;
        fields.clear();
        rowStarted = false;
    };
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (quoted) {
            if (c != '"') {
                field += c;
            } else if (i + 1 < text.size() && text[i + 1] == '"') {
                field += '"';
                ++i;
            } else {
                quoted = false;
            }
            continue;
        }
        if (c == '"') {
            quoted = true;
            rowStarted = true;
        } else if (c == ',') {
            fields.push_back(std::move(field));
            field.clear();
            rowStarted = true;
        } else if (c == '\n' || c == '\r') {
            if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') {
                ++i;
            }
            if (rowStarted || !field.empty()) {
                endRow();
            }
        } else {
            field += c;
            rowStarted = true;
        }
    }
    if (rowStarted || !field.empty()) {
        endRow();
    }
    return contents;
}

ActivityFileContents ReadActivityFile(const std::string& path)
{
    namespace fs = std::filesystem;
    std::error_code ec;
    const fs::file_status state = fs::status(path, ec);
    if (!fs::exists(state)) {
        return {};
    }
    if (!fs::is_regular_file(state)) {
        ActivityFileContents contents;
        contents.error = path + " is not a regular file";
        return contents;
    }
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        ActivityFileContents contents;
        contents.error = "Unable to read " + path;
        return contents;
    }
    std::string text;
    text.resize(static_cast<size_t>(fs::file_size(path, ec)));
    in.read(text.data(), static_cast<std::streamsize>(text.size()));
    text.resize(static_cast<size_t>(in.gcount()));
    return ParseActivityCsv(text);
}
