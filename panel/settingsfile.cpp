#include "panel/settingsfile.h"

#include <QIODevice>

namespace settingsfile {

std::string ReadLine(QIODevice& in)
{
    char buffer[MAX_LINE + 1];
    const qint64 got = in.readLine(buffer, sizeof buffer);
    if (got <= 0) {
        return {};
    }
    std::string line(buffer, static_cast<std::size_t>(got));
    if (line.back() == '\n') {
        line.pop_back();
    } else {
        // Longer than we keep: drop the rest of this line in bounded pieces.
        char scrap[MAX_LINE + 1];
        qint64 more = 0;
        while ((more = in.readLine(scrap, sizeof scrap)) > 0 && scrap[more - 1] != '\n') {
        }
    }
    if (!line.empty() && line.back() == '\r') {
        line.pop_back();
    }
    return line;
}

} // namespace settingsfile
