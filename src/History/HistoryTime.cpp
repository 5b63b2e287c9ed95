#include "History/HistoryTime.h"

#include <cstdio>
#include <ctime>
#include <regex>

namespace {

using std::chrono::duration_cast;
using std::chrono::milliseconds;
using std::chrono::seconds;

// The local time fields, with the day normalised by mktime; -1 when invalid.
std::optional<std::time_t> FromLocal(std::tm tm)
{
    tm.tm_isdst = -1;
    const std::tm asked = tm;
    const std::time_t t = std::mktime(&tm);
    // mktime normalises 2026-02-30 into March: such a date was not a date.
    if (t == -1 || tm.tm_mday != asked.tm_mday || tm.tm_mon != asked.tm_mon)
        return std::nullopt;
    return t;
}

std::optional<std::time_t> FromUtc(std::tm tm)
{
    const std::tm asked = tm;
    const std::time_t t = timegm(&tm);
    if (t == -1 || tm.tm_mday != asked.tm_mday || tm.tm_mon != asked.tm_mon)
        return std::nullopt;
    return t;
}

} // namespace

std::string UtcText(HistoryClock::time_point t)
{
    const auto ms = duration_cast<milliseconds>(t.time_since_epoch()).count();
    std::time_t secs = static_cast<std::time_t>(ms / 1000 - (ms % 1000 < 0 ? 1 : 0));
    const long frac = static_cast<long>(ms - static_cast<long long>(secs) * 1000);
    std::tm tm{};
    gmtime_r(&secs, &tm);
    char buf[64];
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02dT%02d:%02d:%02d.%03ldZ", tm.tm_year + 1900,
                  tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, frac);
    return buf;
}

std::optional<HistoryClock::time_point> ParseUtcText(const std::string& text)
{
    std::tm tm{};
    int ms = 0, used = 0;
    if (std::sscanf(text.c_str(), "%4d-%2d-%2dT%2d:%2d:%2d.%3dZ%n", &tm.tm_year, &tm.tm_mon,
                    &tm.tm_mday, &tm.tm_hour, &tm.tm_min, &tm.tm_sec, &ms, &used) != 7 ||
        static_cast<size_t>(used) != text.size())
        return std::nullopt;
    tm.tm_year -= 1900;
    tm.tm_mon -= 1;
    const auto t = FromUtc(tm);
    if (!t)
        return std::nullopt;
    return HistoryClock::from_time_t(*t) + milliseconds(ms);
}

std::string LocalText(const std::string& utc)
{
    const auto t = ParseUtcText(utc);
    if (!t)
        return utc;
    const std::time_t secs = HistoryClock::to_time_t(*t);
    std::tm tm{};
    localtime_r(&secs, &tm);
    char when[32], zone[8];
    std::strftime(when, sizeof when, "%Y-%m-%d %H:%M:%S", &tm);
    std::strftime(zone, sizeof zone, "%z", &tm); // +0100
    const std::string offset = zone;
    return std::string(when) + " " +
           (offset.size() == 5 ? offset.substr(0, 3) + ":" + offset.substr(3) : offset);
}

std::optional<HistoryRange> ParseHistoryDate(const std::string& text)
{
    static const std::regex kDate(
        R"((\d{4})-(\d{2})-(\d{2})(?:T(\d{2}):(\d{2})(?::(\d{2}))?)?(Z|[+-]\d{2}:?\d{2})?)");
    std::smatch m;
    if (!std::regex_match(text, m, kDate))
        return std::nullopt;
    std::tm tm{};
    tm.tm_year = std::stoi(m[1]) - 1900;
    tm.tm_mon = std::stoi(m[2]) - 1;
    tm.tm_mday = std::stoi(m[3]);
    tm.tm_hour = m[4].matched ? std::stoi(m[4]) : 0;
    tm.tm_min = m[5].matched ? std::stoi(m[5]) : 0;
    tm.tm_sec = m[6].matched ? std::stoi(m[6]) : 0;
    if (tm.tm_hour > 23 || tm.tm_min > 59 || tm.tm_sec > 59)
        return std::nullopt;
    std::optional<std::time_t> from;
    if (m[7].matched) {
        from = FromUtc(tm);
        const std::string z = m[7];
        if (from && z != "Z") {
            const int hours = std::stoi(z.substr(1, 2));
            const int minutes = std::stoi(z.substr(z.size() - 2));
            const int sign = z[0] == '-' ? -1 : 1;
            *from -= sign * (hours * 3600 + minutes * 60);
        }
    } else {
        from = FromLocal(tm);
    }
    if (!from)
        return std::nullopt;
    HistoryClock::time_point to;
    const auto start = HistoryClock::from_time_t(*from);
    if (m[6].matched)
        to = start + seconds(1);
    else if (m[4].matched)
        to = start + seconds(60);
    else {
        // The next day's midnight: a day of a clock change is not 24 hours.
        std::tm next = tm;
        next.tm_mday += 1;
        next.tm_hour = next.tm_min = next.tm_sec = 0;
        next.tm_isdst = -1;
        const std::time_t n = m[7].matched ? timegm(&next) - (*from - FromUtc(tm).value_or(*from))
                                           : std::mktime(&next);
        to = HistoryClock::from_time_t(n);
    }
    return HistoryRange{UtcText(start), UtcText(to)};
}

HistoryRange LocalDay(HistoryClock::time_point t)
{
    const std::time_t secs = HistoryClock::to_time_t(t);
    std::tm tm{};
    localtime_r(&secs, &tm);
    char day[16];
    std::strftime(day, sizeof day, "%Y-%m-%d", &tm);
    return *ParseHistoryDate(day);
}
