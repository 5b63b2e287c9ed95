#include "Cli/CmdHistory.h"

#include "Cli/CliSession.h"
#include "Cli/DeviceEvents.h"
#include "History/ActionRecord.h"
#include "History/HistoryOutput.h"
#include "History/HistoryTime.h"
#include "NxException.h"

#include <cstdio>

CmdHistory::CmdHistory()
    : Command("history",
              "[--device=SERIAL] [--since=DATE] [--until=DATE] [--result=R] [--json|--csv] "
              "[--verify]",
              "the service record: every action on a device; --verify checks its chain")
{
}

void CmdHistory::Validate(const CliOptions& opts) const
{
    if (opts.Json && opts.Csv)
        throw CliUsageError("history prints --json or --csv, not both");
    if (opts.Verify &&
        (opts.Device || opts.Since || opts.Until || opts.Result || opts.Json || opts.Csv))
        throw CliUsageError("--verify checks the whole record: it takes no --device, --since, "
                            "--until, --result, --json or --csv");
    if (opts.SeveralDevices())
        throw CliUsageError("history --device takes one serial number");
    HistoryFilterOf(opts);
}

namespace {

std::string DateBound(const std::optional<std::string>& value, const char* option, bool until)
{
    if (!value)
        return {};
    const auto range = ParseHistoryDate(*value);
    if (!range)
        throw CliUsageError(std::string("--") + option + " needs a date, 2026-12-07 or " +
                            "2026-12-07T14:30 or 2026-12-07T14:30+01:00, not '" + *value + "'");
    return until ? range->To : range->From;
}

int Verify(const std::vector<std::string>& files)
{
    int rc = 0;
    for (const std::string& path : files) {
        try {
            const HistoryChain chain = HistoryDb(path, false).Verify();
            std::string line = path + ": " + RecordCount(chain.Records) + ", ";
            line += chain.Problem.empty() ? "the chain holds" : chain.Problem;
            PrintText(line + "\n  head " + chain.Head + "\n");
            if (!chain.Problem.empty())
                rc = 1;
        } catch (const std::exception& e) {
            WriteOutput(stderr, std::string("nxupdate-cli: ") + e.what() + "\n");
            rc = 1;
        }
    }
    return rc;
}

} // namespace

std::vector<std::string> HistoryFiles(const CliOptions& opts)
{
    std::vector<std::string> files;
    for (const std::string& h : opts.History)
        if (const std::string path = ChooseHistoryPath(h, false); !path.empty())
            files.push_back(path);
    if (opts.History.empty())
        if (const std::string path = ChooseHistoryPath(std::nullopt, false); !path.empty())
            files.push_back(path);
    if (files.empty())
        throw CliUsageError(opts.Command + " needs a history to read: --history=PATH");
    return files;
}

HistoryFilter HistoryFilterOf(const CliOptions& opts)
{
    HistoryFilter f;
    f.Serial = opts.Device.value_or("");
    f.Since = DateBound(opts.Since, "since", false);
    f.Until = DateBound(opts.Until, "until", true);
    if (opts.Result) {
        f.Result = HistoryResultFromName(*opts.Result);
        if (!f.Result)
            throw CliUsageError(
                "--result is one of done, failed, busy, interrupted, refused, not '" +
                *opts.Result + "'");
    }
    return f;
}

int CmdHistory::Execute(CliSession& session) const
{
    return ExecuteOffline(session.Options());
}

int CmdHistory::ExecuteOffline(const CliOptions& opts) const
{
    const std::vector<std::string> files = HistoryFiles(opts);
    if (opts.Verify)
        return Verify(files);
    std::vector<std::string> errors;
    const std::vector<HistoryRecord> records = ReadHistories(files, HistoryFilterOf(opts), errors);
    for (const std::string& e : errors)
        WriteOutput(stderr, "nxupdate-cli: " + e + "\n");
    if (opts.Json)
        PrintJson(HistoryArray(records));
    else if (opts.Csv)
        WriteOutput(stdout, HistoryCsv(records)); // RFC 4180 lines end with CR LF
    else if (!records.empty())
        PrintText(HistoryTable(records));
    else if (errors.empty())
        PrintText("No records.\n");
    return errors.empty() ? 0 : 1;
}

void UseHistory(const Command& cmd, const CliOptions& opts)
{
    const std::string name = cmd.Name();
    if (opts.History.size() > 1 && name != "history" && name != "report")
        throw CliUsageError("--history is given more than once: only history and report read "
                            "several files");
    SetHistory(
        ChooseHistoryPath(opts.History.empty() ? std::nullopt : std::optional(opts.History.front()),
                          opts.Simulate),
        "cli");
    SetHistoryRun(opts.Events ? opts.Run : std::string());
}

TNxDev& RecordedTarget(CliSession& session, ActionRecord& record)
{
    try {
        TNxDev& dev = session.Target();
        record.SetDevice(dev);
        return dev;
    } catch (...) {
        if (session.TargetBusy())
            record.SetBusy();
        throw;
    }
}

void TellVersionAfter(CliSession& session, const ActionRecord& record, TNxDev& dev, int channel)
{
    DeviceEvents* events = session.Events();
    if (!events || session.Options().DryRun)
        return;
    HistoryJson after = record.Record().After;
    if (HistoryPath().empty())
        if (const auto info = ReadVersionAfterAction(dev, channel))
            after = VersionReportJson(*info);
    if (after.is_object() && after.contains("application"))
        if (const std::string v = after["application"].value("version", ""); !v.empty())
            events->Result["version"] = v;
}
