#include "panel/resourcestrings.h"

#include "panel/resourceids.h"

#include <array>
#include <string_view>

namespace {

struct StringEntry {
    int id = 0;
    std::string_view text;
};

constexpr std::array<StringEntry, 1> stringTable{{
    {IDS_ABOUTBOX, "&About Ostrelle..."},
}};

} // namespace

QString LoadResourceString(int id)
{
    for (const StringEntry& entry : stringTable) {
        if (entry.id == id) {
            return QString::fromUtf8(entry.text);
        }
    }
    return {};
}
