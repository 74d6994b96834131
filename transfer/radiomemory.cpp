#include "transfer/radiomemory.h"

#include "transfer/filesteps.h"
#include "protocol/frames.h"

#include <cerrno>
#include <charconv>
#include <cstdio>
#include <sys/stat.h>

namespace {

constexpr std::string_view SECTION_LINE = "[Radio]";
constexpr std::string_view KEY = "ImageRecords";
// The store holds a few short lines; a larger one is not what it seems, and
// is neither read whole nor rewritten.
constexpr size_t LARGEST_STORE = size_t{1} << 20;
constexpr int64_t MOST_RECORDS = INT32_MAX / IMAGE_RECORD_SIZE;

// The store's whole text; a store that does not exist is an empty one. False
// when it cannot be had whole: no regular file (a FIFO would hang the reader),
// too large, or unreadable.
bool ReadStore(const std::string& path, std::string& text)
{
    text.clear();
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) {
        return errno == ENOENT;
    }
    if (!S_ISREG(info.st_mode) || static_cast<uint64_t>(info.st_size) > LARGEST_STORE) {
        return false;
    }
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) {
        return false;
    }
    char chunk[4096];
    size_t n = 0;
    while (text.size() <= LARGEST_STORE && (n = std::fread(chunk, 1, sizeof chunk, file)) > 0) {
        text.append(chunk, n);
    }
    const bool whole = std::ferror(file) == 0 && text.size() <= LARGEST_STORE;
    (void)std::fclose(file); // read only: its close loses nothing
    return whole;
}

std::string_view Trim(std::string_view text)
{
    const size_t first = text.find_first_not_of(" \t\r");
    if (first == std::string_view::npos) {
        return {};
    }
    return text.substr(first, text.find_last_not_of(" \t\r") - first + 1);
}

// Where the count's line is in the store's text, or where one would go.
struct Place {
    size_t afterSection = std::string::npos; // just past the section's header line
    size_t lineStart = std::string::npos;
    size_t lineEnd = std::string::npos;      // before its line end
    std::string_view value;
};

Place Find(const std::string& text)
{
    Place place;
    bool inSection = false;
    for (size_t start = 0; start < text.size();) {
        size_t end = text.find('\n', start);
        const size_t next = end == std::string::npos ? text.size() : end + 1;
        end = end == std::string::npos ? text.size() : end;
        const std::string_view line = Trim(std::string_view(text).substr(start, end - start));
        if (!line.empty() && line.front() == '[') {
            inSection = line == SECTION_LINE;
            if (inSection && place.afterSection == std::string::npos) {
                place.afterSection = next;
            }
        } else if (const size_t equals = line.find('='); inSection && equals != std::string_view::npos &&
                                                           Trim(line.substr(0, equals)) == KEY) {
            place.lineStart = start;
            place.lineEnd = end > start && text[end - 1] == '\r' ? end - 1 : end;
            place.value = Trim(line.substr(equals + 1));
            return place;
        }
        start = next;
    }
    return place;
}

} // namespace

int32_t RememberedRadioRecords(const std::string& storePath)
{
    std::string text;
    if (!ReadStore(storePath, text)) {
        return 0;
    }
    const std::string_view value = Find(text).value;
    int64_t records = 0;
    const auto [end, ec] = std::from_chars(value.data(), value.data() + value.size(), records);
    if (value.empty() || ec != std::errc() || end != value.data() + value.size() || records < 1 ||
        records > MOST_RECORDS) {
        return 0;
    }
    return static_cast<int32_t>(records);
}

bool RememberRadioRecords(const std::string& storePath, int32_t records)
{
    std::string text;
    if (records < 1 || records > MOST_RECORDS || !ReadStore(storePath, text)) {
        return false;
    }
    const std::string lineEnd = text.find("\r\n") != std::string::npos ? "\r\n" : "\n";
    const std::string line = std::string(KEY) + "=" + std::to_string(records);
    Place place = Find(text);
    if (place.lineStart != std::string::npos) {
        text.replace(place.lineStart, place.lineEnd - place.lineStart, line);
    } else if (place.afterSection != std::string::npos) {
        if (place.afterSection == text.size() && text.back() != '\n') {
            text += lineEnd;
            place.afterSection = text.size();
        }
        text.insert(place.afterSection, line + lineEnd);
    } else {
        if (!text.empty()) {
            text += (text.back() == '\n' ? "" : lineEnd) + lineEnd;
        }
        text += std::string(SECTION_LINE) + lineEnd + line + lineEnd;
    }

    const std::string fresh = storePath + ".new";
    std::FILE* out = filesteps::CreateNewFile(fresh, true);
    if (out == nullptr && errno == EEXIST) {
        // Left by a program that ended before its rename; nothing in it counts.
        (void)std::remove(fresh.c_str()); // the create below says whether it went
        out = filesteps::CreateNewFile(fresh, true);
    }
    if (out == nullptr) {
        return false;
    }
    const bool written = std::fwrite(text.data(), 1, text.size(), out) == text.size() && filesteps::SyncToDisk(out);
    const bool closed = std::fclose(out) == 0;
    if (written && closed && filesteps::RenameOver(fresh, storePath)) {
        return true;
    }
    (void)std::remove(fresh.c_str()); // a half-written copy of ours; the store itself is untouched
    return false;
}
