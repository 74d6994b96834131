#include "cli/report.h"

#include "activity/activitycsv.h"
#include "protocol/lcdtext.h"
#include "protocol/statustext.h"

#include <chrono>
#include <cstdio>
#include <ctime>

namespace cli {

namespace {

std::string Hex(const uint8_t* bytes, size_t count)
{
    static constexpr char digits[] = "0123456789ABCDEF";
    std::string hex;
    for (size_t i = 0; i < count; ++i) {
        hex += digits[bytes[i] >> 4];
        hex += digits[bytes[i] & 0x0F];
    }
    return hex;
}

// Members of one JSON object, written in the order they are added.
class JsonObject {
public:
    JsonObject& Raw(std::string_view key, const std::string& json)
    {
        text += (text.size() == 1 ? "" : ",") + JsonString(key) + ":" + json;
        return *this;
    }
    JsonObject& Text(std::string_view key, std::string_view value) { return Raw(key, JsonString(value)); }
    JsonObject& Number(std::string_view key, long long value) { return Raw(key, std::to_string(value)); }
    JsonObject& Flag(std::string_view key, bool value) { return Raw(key, value ? "true" : "false"); }
    template <typename List> JsonObject& Texts(std::string_view key, const List& values)
    {
        std::string array = "[";
        for (const auto& value : values) {
            array += (array.size() == 1 ? "" : ",") + JsonString(value);
        }
        return Raw(key, array + "]");
    }
    std::string Close() const { return text + "}"; }

private:
    std::string text = "{";
};

std::string IconsText(const LcdImage& lcd)
{
    std::string text;
    const auto add = [&text](const std::string& word) { text += (text.empty() ? "" : " ") + word; };
    for (const std::string_view name : lcdtext::ShownIcons(lcd)) {
        add(std::string(name));
    }
    if (const int bars = lcdtext::SignalBars(lcd); bars > 0) {
        add("bars=" + std::to_string(bars));
    }
    if (lcdtext::IconBits(lcdtext::IconOf(lcdtext::IconId::Backlight), lcd) != 0) {
        add("backlight");
    }
    return "icons: " + (text.empty() ? std::string("none") : text);
}

} // namespace

std::string JsonString(std::string_view text)
{
    std::string out = "\"";
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (byte < 0x20 || byte == 0x7F) {
            char escaped[8];
            (void)std::snprintf(escaped, sizeof escaped, "\\u%04X", byte);
            out += escaped;
        } else {
            out += c;
        }
    }
    return out + "\"";
}

std::string StatusLine(const RadioStatus& status)
{
    if (!status.statusValid) {
        return "no status";
    }
    const statustext::StatusTexts t = statustext::FormatStatusTexts(status);
    std::string line = t.mode + "  " + t.frequency + " " + t.modulation + "  RSSI " + t.rssi + "  Centermeter " +
                       t.centering + "  Battery " + t.battery;
    for (size_t i = 0; i < t.litIndicators.size(); ++i) {
        line += (i == 0 ? "  [" : " [") + std::string(t.litIndicators[i]) + "]";
    }
    return line;
}

std::string LcdLines(const LcdImage& lcd)
{
    if (!lcd.lcdValid) {
        return "no display\n";
    }
    std::string text;
    for (const auto& row : lcd.rows) {
        text += lcdtext::RowText(row) + "\n";
    }
    return text + IconsText(lcd) + "\n";
}

std::string LcdOneLine(const LcdImage& lcd)
{
    if (!lcd.lcdValid) {
        return "no display";
    }
    std::string text = "|";
    for (const auto& row : lcd.rows) {
        text += lcdtext::RowText(row) + "|";
    }
    return text + " " + IconsText(lcd);
}

std::string StatusJson(const RadioStatus& status)
{
    const statustext::StatusTexts t = statustext::FormatStatusTexts(status);
    const statustext::LampRgb lamp = statustext::LampColour(status);
    char lampText[8];
    (void)std::snprintf(lampText, sizeof lampText, "#%02X%02X%02X", lamp.red, lamp.green, lamp.blue);
    JsonObject raw;
    raw.Text("block", Hex(status.block, sizeof status.block))
        .Number("modeIndex", status.modeIndex())
        .Number("indicatorFlags", status.indicatorFlags())
        .Number("battery", status.battery())
        .Number("rssi", status.rssi())
        .Number("centering", status.centering())
        .Number("lampRed", status.lampRed())
        .Number("lampGreen", status.lampGreen())
        .Number("lampBlue", status.lampBlue())
        .Number("frequencyHz", status.frequencyHz())
        .Number("modulationIndex", status.modulationIndex());
    JsonObject shown;
    shown.Text("mode", t.mode)
        .Text("frequency", t.frequency)
        .Text("modulation", t.modulation)
        .Text("rssi", t.rssi)
        .Text("centering", t.centering)
        .Text("battery", t.battery)
        .Texts("indicators", t.litIndicators)
        .Text("lamp", lampText);
    return JsonObject().Flag("statusValid", status.statusValid).Raw("raw", raw.Close()).Raw("shown", shown.Close()).Close();
}

std::string LcdJson(const LcdImage& lcd)
{
    std::string rawRows = "[";
    std::string shownRows = "[";
    for (const auto& row : lcd.rows) {
        rawRows += (rawRows.size() == 1 ? "" : ",") + JsonString(lcdtext::RowHex(row));
        shownRows += (shownRows.size() == 1 ? "" : ",") + JsonString(lcd.lcdValid ? lcdtext::RowText(row) : "");
    }
    JsonObject raw;
    raw.Raw("rows", rawRows + "]").Number("iconFlagsA", lcd.iconFlagsA).Number("iconFlagsB", lcd.iconFlagsB);
    JsonObject shown;
    shown.Raw("rows", shownRows + "]")
        .Texts("icons", lcd.lcdValid ? lcdtext::ShownIcons(lcd) : std::vector<std::string_view>{})
        .Number("bars", lcd.lcdValid ? lcdtext::SignalBars(lcd) : 0)
        .Flag("backlight", lcdtext::IconBits(lcdtext::IconOf(lcdtext::IconId::Backlight), lcd) != 0);
    return JsonObject().Flag("lcdValid", lcd.lcdValid).Raw("raw", raw.Close()).Raw("shown", shown.Close()).Close();
}

std::string HitJson(const Hit& hit)
{
    return JsonObject()
        .Text("start", IsoLocalTime(hit.startMs, hit.utcOffsetMinutes))
        .Raw("duration", DurationText(hit.durationMs))
        .Text("frequency", statustext::FrequencyText(hit.frequencyHz))
        .Number("frequencyHz", hit.frequencyHz)
        .Text("modulation", hit.modulation)
        .Text("mode", hit.mode)
        .Text("display", hit.display)
        .Number("rssiMax", hit.rssiMax)
        .Number("rssiMean", hit.rssiMean)
        .Text("recording", hit.recording)
        .Close();
}

std::string Timestamp()
{
    const auto now = std::chrono::system_clock::now();
    const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
    const auto millis =
        std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
    std::tm local {};
#if defined(_WIN32)
    localtime_s(&local, &seconds);
#else
    localtime_r(&seconds, &local);
#endif
    char text[40] = {};
    const size_t n = std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &local);
    (void)std::snprintf(text + n, sizeof text - n, ".%03d", static_cast<int>(millis));
    return text;
}

} // namespace cli
