#include "Cli/CmdReport.h"

#include "Cli/CliSession.h"
#include "Cli/CmdHistory.h"
#include "History/HistoryOutput.h"
#include "History/HistoryTime.h"
#include "NxException.h"
#include "NxVersion.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <unistd.h>

CmdReport::CmdReport()
    : Command("report", "[--since=DATE] [--until=DATE] [--device=SERIAL] --out=FILE.html",
              "a printable page of a visit: today's records, or those of the dates given")
{
}

void CmdReport::Validate(const CliOptions& opts) const
{
    if (!opts.Out)
        throw CliUsageError("report needs --out=FILE.html");
    if (opts.SeveralDevices())
        throw CliUsageError("report --device takes one serial number");
    HistoryFilterOf(opts);
}

int CmdReport::Execute(CliSession& session) const
{
    return ExecuteOffline(session.Options());
}

int CmdReport::ExecuteOffline(const CliOptions& opts) const
{
    const std::vector<std::string> files = HistoryFiles(opts);
    HistoryFilter filter = HistoryFilterOf(opts);
    const auto now = HistoryClock::now();
    // A visit is one day on this PC unless the dates say otherwise.
    const HistoryRange today = LocalDay(now);
    if (filter.Since.empty() && filter.Until.empty()) {
        filter.Since = today.From;
        filter.Until = today.To;
    }

    HistoryReportInfo info;
    char host[256] = {};
    ::gethostname(host, sizeof host - 1);
    info.Host = ValidUtf8(host);
    info.Program = std::string("nxupdate-cli ") + NX_VERSION;
    info.From = filter.Since.empty() ? "" : filter.Since;
    info.To = filter.Until.empty() ? UtcText(now) : filter.Until;
    info.Printed = UtcText(now);

    std::vector<std::string> errors;
    const std::vector<HistoryRecord> records = ReadHistories(files, filter, errors);
    if (info.From.empty() && !records.empty())
        info.From = records.front().Start;
    for (const std::string& path : files) {
        try {
            info.Files.push_back({path, HistoryDb(path, false).Verify()});
        } catch (const std::exception&) {
            // Said once, with the records it lacks.
        }
    }
    for (const std::string& e : errors)
        WriteOutput(stderr, "nxupdate-cli: " + e + "\n");
    if (!errors.empty())
        return 1;

    const std::string html = HistoryReportHtml(records, info);
    std::FILE* f = std::fopen(opts.Out->c_str(), "wb");
    const bool written = f && std::fwrite(html.data(), 1, html.size(), f) == html.size();
    const int err = errno;
    if (f && std::fclose(f) != 0 && written)
        ThrowNx("The report %s cannot be written: %s", opts.Out->c_str(), std::strerror(errno));
    if (!written)
        ThrowNx("The report %s cannot be written: %s", opts.Out->c_str(), std::strerror(err));
    PrintText(StrFormat("%zu records of %s to %s in %s\n", records.size(),
                        LocalText(info.From).c_str(), LocalText(info.To).c_str(),
                        opts.Out->c_str()));
    return 0;
}
