// Times of the service record: stored in UTC as ISO 8601 texts that sort as
// they compare, shown in local time with the offset, and given on the
// command line as a date or a date and time.
#pragma once

#include <chrono>
#include <optional>
#include <string>

using HistoryClock = std::chrono::system_clock;

// "2026-12-07T13:30:02.123Z".
std::string UtcText(HistoryClock::time_point t);
// The inverse of UtcText; nullopt for any other text.
std::optional<HistoryClock::time_point> ParseUtcText(const std::string& text);
// "2026-12-07 14:30:02 +01:00" in the local time zone; the text itself when
// it is not a UtcText.
std::string LocalText(const std::string& utc);

// The range a --since or --until value names: "2026-12-07" (that local
// day), "2026-12-07T14:30" or "...T14:30:05" (that minute or second, local
// time), each optionally followed by "Z" or an offset "+01:00". Returns the
// UtcText of its first instant and of the instant after it; nullopt when the
// text is not such a date.
struct HistoryRange
{
    std::string From, To;
};
std::optional<HistoryRange> ParseHistoryDate(const std::string& text);
// The local day that holds t.
HistoryRange LocalDay(HistoryClock::time_point t);
