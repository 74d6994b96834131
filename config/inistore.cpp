#include "config/inistore.h"

#include <cctype>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <system_error>

namespace {

// The store holds a few short lines; a larger file is not what it seems.
constexpr std::uintmax_t LARGEST_STORE = std::uintmax_t{1} << 20;

std::string_view Trim(std::string_view text)
{
    const size_t first = text.find_first_not_of(" \t\r");
    if (first == std::string_view::npos) {
        return {};
    }
    return text.substr(first, text.find_last_not_of(" \t\r") - first + 1);
}

void AppendUtf8(std::string& out, unsigned long code)
{
    if (code < 0x80) {
        out += static_cast<char>(code);
    } else if (code < 0x800) {
        out += static_cast<char>(0xC0 | (code >> 6));
        out += static_cast<char>(0x80 | (code & 0x3F));
    } else {
        // Qt escapes code units of at most four hex digits.
        out += static_cast<char>(0xE0 | ((code >> 12) & 0x0F));
        out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (code & 0x3F));
    }
}

} // namespace

std::string IniUnescaped(std::string_view raw)
{
    raw = Trim(raw);
    std::string out;
    for (size_t i = 0; i < raw.size(); ++i) {
        const char c = raw[i];
        if (c == '"') {
            continue; // quoted parts only keep their commas and edge spaces
        }
        if (c != '\\' || i + 1 == raw.size()) {
            out += c;
            continue;
        }
        const char e = raw[++i];
        switch (e) {
        case 'a': out += '\a'; break;
        case 'b': out += '\b'; break;
        case 'f': out += '\f'; break;
        case 'n': out += '\n'; break;
        case 'r': out += '\r'; break;
        case 't': out += '\t'; break;
        case 'v': out += '\v'; break;
        case 'x': {
            unsigned long code = 0;
            size_t digits = 0;
            while (i + 1 < raw.size() && digits < 4 && std::isxdigit(static_cast<unsigned char>(raw[i + 1])) != 0) {
                const int h = std::tolower(static_cast<unsigned char>(raw[++i]));
                code = code * 16 + static_cast<unsigned long>(h <= '9' ? h - '0' : h - 'a' + 10);
                ++digits;
            }
            AppendUtf8(out, code);
            break;
        }
        case '0': out += '\0'; break;
        default: out += e; break; // \" \\ and the rest stand for themselves
        }
    }
    if (out.rfind("@@", 0) == 0) {
        out.erase(0, 1);
    }
    return out;
}

bool ReadIniSection(const std::string& path, std::string_view section, IniValues& values, std::string& error)
{
    values.clear();
    std::error_code failed;
    const auto status = std::filesystem::status(path, failed);
    if (status.type() == std::filesystem::file_type::not_found) {
        return true;
    }
    // A FIFO would hang the reader, and a device never ends.
    if (failed || status.type() != std::filesystem::file_type::regular ||
        std::filesystem::file_size(path, failed) > LARGEST_STORE || failed) {
        error = path + " is not a settings file that can be read";
        return false;
    }
    std::ifstream file(path, std::ios::binary);
    std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    if (file.bad() || text.size() > LARGEST_STORE) {
        error = path + " could not be read";
        return false;
    }
    const std::string header = "[" + std::string(section) + "]";
    bool inSection = false;
    for (size_t start = 0; start < text.size();) {
        size_t end = text.find('\n', start);
        end = end == std::string::npos ? text.size() : end;
        const std::string_view line = Trim(std::string_view(text).substr(start, end - start));
        start = end + 1;
        if (!line.empty() && line.front() == '[') {
            inSection = line == header;
        } else if (const size_t equals = line.find('='); inSection && equals != std::string_view::npos &&
                                                           line.front() != ';' && line.front() != '#') {
            values.emplace(std::string(Trim(line.substr(0, equals))), IniUnescaped(line.substr(equals + 1)));
        }
    }
    return true;
}
