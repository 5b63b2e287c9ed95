#include "Cli/CmdFilter.h"

#include "Cli/CliSession.h"
#include "Cli/CmdHistory.h"
#include "FilterInfo.h"
#include "History/ActionRecord.h"
#include "NxException.h"

#include <cstdio>
#include <iostream>
#include <optional>
#include <unistd.h>

CmdFilter::CmdFilter()
    : Command("filter", "--channel=N [--device=SERIAL] [--reset [--yes]]",
              "filter-change counter of a component; --reset after a filter change")
{
}

void CmdFilter::Validate(const CliOptions& opts) const
{
    if (!opts.Channel || *opts.Channel == 0)
        throw CliUsageError("filter needs the component's channel: --channel=N with N from 1");
    if (opts.Yes && !opts.Reset)
        throw CliUsageError("--yes belongs to --reset");
    // Decided before anything is sent: a script without --yes must not hang
    // on a question nobody can answer, nor reset without being told to.
    if (opts.Reset && !opts.Yes && ::isatty(STDIN_FILENO) != 1)
        throw CliUsageError("--reset asks before resetting, and there is no terminal to ask on; "
                            "add --yes to reset without asking");
}

namespace {

CliJson Value(int64_t tenths)
{
    // tenths / 10.0 is the double nearest the decimal value; tenths * 0.1 is not always.
    return {{"tenths", tenths}, {"hours", static_cast<double>(tenths) / 10.0}};
}

CliJson CountersJson(const TNxDev& dev, int channel, const NxFilterCounters& c, bool reset)
{
    const int64_t last = c.LastChange, runtime = c.Runtime, next = last + c.Interval;
    return {{"serial", dev.GetSerial()},
            {"channel", channel},
            {"runtime", Value(runtime)},
            {"lastChange", Value(last)},
            {"interval", Value(c.Interval)},
            {"nextChange", Value(next)},
            {"timeUsed", Value(runtime - last)},
            {"timeLeft", Value(next - runtime)},
            {"reset", reset}};
}

// The desktop program's question, answered on the terminal.
bool Confirm(const NxFilterCounters& c)
{
    std::fprintf(stderr, "%s\n\n%s\nReset the counter? [y/N] ", FormatFilterText(c).c_str(),
                 kFilterQuestion);
    std::fflush(stderr);
    std::string answer;
    if (!std::getline(std::cin, answer))
        return false;
    return answer == "y" || answer == "Y" || answer == "yes" || answer == "Yes" || answer == "YES";
}

} // namespace

int CmdFilter::Execute(CliSession& session) const
{
    const CliOptions& opts = session.Options();
    ScopedSect lock(session.Devices().Lock);
    // Only a reset is recorded; it covers the reads before it.
    std::optional<ActionRecord> record;
    if (opts.Reset)
        record.emplace(HistoryAction::FilterReset, opts.Device.value_or(""),
                       opts.Channel.value_or(0));
    try {
        TNxDev& dev = record ? RecordedTarget(session, *record) : session.Target();
        const int channel = session.Channel(dev);

        // Before reading: nobody is asked about a reset the component cannot take.
        if (opts.Reset)
            CheckFilterReset(dev, channel);

        NxFilterCounters counters = ReadFilterCounters(dev, channel);
        if (opts.Reset) {
            if (!opts.Yes && !Confirm(counters)) {
                record->Cancel();
                ThrowNx("Cancelled: the filter change counter has not been reset.");
            }
            counters = ResetFilterCounter(dev, channel);
            record->Done();
        }
        Print(session, dev, channel, counters);
    } catch (const std::exception& e) {
        if (record)
            record->Failed(e);
        throw;
    }
    return 0;
}

void CmdFilter::Print(CliSession& session, const TNxDev& dev, int channel,
                      const NxFilterCounters& counters) const
{
    const CliOptions& opts = session.Options();

    if (opts.Json) {
        CliJson doc = CountersJson(dev, channel, counters, opts.Reset);
        doc["errors"] = OpenErrorsJson(session.Devices());
        PrintJson(doc);
    } else if (opts.Reset)
        PrintText(FormatFilterText(counters) + "\n" + kFilterResetDone + "\n");
    else
        PrintText(FormatFilterText(counters) + "\n");
}
