#include "activity/walltime.h"

#include <chrono>
#include <cstdio>
#include <ctime>

namespace {

constexpr int64_t MS_PER_DAY = 86400000;

int64_t FloorDiv(int64_t a, int64_t b)
{
    return a / b - ((a % b != 0) && ((a < 0) != (b < 0)) ? 1 : 0);
}

// Days since 1970-01-01 of a date of the proleptic Gregorian calendar, and
// back (H. Hinnant's algorithms), so that no time zone of the C library
// comes between a written time and the one read back.
int64_t DaysFromCivil(int year, int month, int day)
{
    const int64_t y = static_cast<int64_t>(year) - (month <= 2 ? 1 : 0);
    const int64_t era = FloorDiv(y, 400);
    const int64_t yoe = y - era * 400;
    const int64_t mp = (month + 9) % 12;
    const int64_t doy = (153 * mp + 2) / 5 + day - 1;
    const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

Day CivilFromDays(int64_t days)
{
    const int64_t z = days + 719468;
    const int64_t era = FloorDiv(z, 146097);
    const int64_t doe = z - era * 146097;
    const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const int64_t mp = (5 * doy + 2) / 153;
    const int64_t d = doy - (153 * mp + 2) / 5 + 1;
    const int64_t m = mp < 10 ? mp + 3 : mp - 9;
    return {static_cast<int>(yoe + era * 400 + (m <= 2 ? 1 : 0)), static_cast<int>(m), static_cast<int>(d)};
}

int DaysInMonth(int year, int month)
{
    static constexpr int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    return month == 2 && leap ? 29 : days[month - 1];
}

// Reads exactly `width` digits.
bool Digits(std::string_view text, size_t at, size_t width, int& value)
{
    if (at + width > text.size()) {
        return false;
    }
    value = 0;
    for (size_t i = at; i < at + width; ++i) {
        if (text[i] < '0' || text[i] > '9') {
            return false;
        }
        value = value * 10 + (text[i] - '0');
    }
    return true;
}

} // namespace

int64_t SystemWallTime::MsOfTick(uint32_t tick)
{
    const int64_t now = std::chrono::duration_cast<std::chrono::milliseconds>(
                            std::chrono::system_clock::now().time_since_epoch())
                            .count();
    return now - static_cast<int32_t>(clock.TickCount() - tick);
}

int32_t SystemWallTime::OffsetMinutesAt(int64_t ms)
{
    const auto seconds = static_cast<std::time_t>(FloorDiv(ms, 1000));
    std::tm local{};
#if defined(_WIN32)
    if (localtime_s(&local, &seconds) != 0) {
        return 0;
    }
#else
    if (localtime_r(&seconds, &local) == nullptr) {
        return 0;
    }
#endif
    const int64_t localSeconds = DaysFromCivil(local.tm_year + 1900, local.tm_mon + 1, local.tm_mday) * 86400 +
                                 int64_t{local.tm_hour} * 3600 + int64_t{local.tm_min} * 60 + local.tm_sec;
    return static_cast<int32_t>(FloorDiv(localSeconds - static_cast<int64_t>(seconds), 60));
}

Day LocalDay(int64_t ms, int32_t offsetMinutes)
{
    return CivilFromDays(FloorDiv(ms + int64_t{offsetMinutes} * 60000, MS_PER_DAY));
}

std::string IsoLocalTime(int64_t ms, int32_t offsetMinutes)
{
    const int64_t local = ms + int64_t{offsetMinutes} * 60000;
    const Day day = CivilFromDays(FloorDiv(local, MS_PER_DAY));
    const int64_t inDay = local - FloorDiv(local, MS_PER_DAY) * MS_PER_DAY;
    const int32_t offset = offsetMinutes < 0 ? -offsetMinutes : offsetMinutes;
    char text[48] = {};
    (void)std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03d%c%02d:%02d", day.year, day.month,
                        day.day, static_cast<int>(inDay / 3600000), static_cast<int>(inDay / 60000 % 60),
                        static_cast<int>(inDay / 1000 % 60), static_cast<int>(inDay % 1000),
                        offsetMinutes < 0 ? '-' : '+', static_cast<int>(offset / 60), static_cast<int>(offset % 60));
    return text;
}

bool ParseIsoLocalTime(std::string_view text, int64_t& ms, int32_t& offsetMinutes)
{
    Day day;
    int hour = 0;
    int minute = 0;
    int second = 0;
    int millis = 0;
    if (!ParseDayText(text.substr(0, 10), day) || text.size() < 24 || text[10] != 'T' || text[13] != ':' ||
        text[16] != ':' || text[19] != '.' || !Digits(text, 11, 2, hour) || !Digits(text, 14, 2, minute) ||
        !Digits(text, 17, 2, second) || !Digits(text, 20, 3, millis) || hour > 23 || minute > 59 || second > 59) {
        return false;
    }
    int offset = 0;
    if (text.size() == 24 && text[23] == 'Z') {
        offset = 0;
    } else {
        int offsetHours = 0;
        int offsetMins = 0;
        if (text.size() != 29 || (text[23] != '+' && text[23] != '-') || text[26] != ':' ||
            !Digits(text, 24, 2, offsetHours) || !Digits(text, 27, 2, offsetMins) || offsetHours > 23 ||
            offsetMins > 59) {
            return false;
        }
        offset = (offsetHours * 60 + offsetMins) * (text[23] == '-' ? -1 : 1);
    }
    const int64_t local = DaysFromCivil(day.year, day.month, day.day) * MS_PER_DAY +
                          ((hour * 60 + minute) * 60 + second) * int64_t{1000} + millis;
    ms = local - int64_t{offset} * 60000;
    offsetMinutes = offset;
    return true;
}

std::string DayText(Day day)
{
    char text[24] = {};
    (void)std::snprintf(text, sizeof text, "%04d-%02d-%02d", day.year, day.month, day.day);
    return text;
}

bool ParseDayText(std::string_view text, Day& day)
{
    Day d;
    if (text.size() != 10 || text[4] != '-' || text[7] != '-' || !Digits(text, 0, 4, d.year) ||
        !Digits(text, 5, 2, d.month) || !Digits(text, 8, 2, d.day) || d.month < 1 || d.month > 12 || d.day < 1 ||
        d.day > DaysInMonth(d.year, d.month)) {
        return false;
    }
    day = d;
    return true;
}
