#include "Cli/CmdDownload.h"

#include "Cli/CliSession.h"
#include "Cli/CmdHistory.h"
#include "Cli/DeviceEvents.h"
#include "Cli/TerminalProgress.h"
#include "Download/DryRunDownload.h"
#include "History/ActionRecord.h"
#include "NxException.h"

CmdDownload::CmdDownload()
    : Command("download",
              "--file=PATH [--device=SERIAL,...|all] [--expect=N] [--jobs=N] [--channel=N] "
              "[--dry-run]",
              "download firmware (.hex), parameter tables (.xml) or both (.dat)")
{
}

void CmdDownload::Validate(const CliOptions& opts) const
{
    if (!opts.File)
        throw CliUsageError("download needs --file=PATH");
    if (opts.Json && !opts.SeveralDevices() && !opts.Events)
        throw CliUsageError(
            "download prints JSON for several devices only (--device=all or a list)");
}

int CmdDownload::Execute(CliSession& session) const
{
    TNxDevList& list = session.Devices();
    ScopedSect lock(list.Lock);
    const CliOptions& opts = session.Options();
    const int channel = opts.Channel.value_or(0);
    ActionRecord record(ActionRecord::DownloadAction(*opts.File, channel), opts.Device.value_or(""),
                        channel, *opts.File, opts.DryRun);
    TNxDev* target = nullptr;
    const int rc =
        record.Run([&] { return Download(session, *(target = &RecordedTarget(session, record))); });
    TellVersionAfter(session, record, *target, channel);
    return rc;
}

int CmdDownload::Download(CliSession& session, TNxDev& dev) const
{
    TNxDevList& list = session.Devices();
    const int channel = session.Options().Channel.value_or(0);
    DeviceEvents* events = session.Events();
    if (session.Options().DryRun) {
        const std::string verdict =
            DryRunDownload(list, dev.GetSerial(), channel, *session.Options().File);
        if (!events)
            PrintText(verdict + "\n");
        else if (session.Options().Json)
            events->Result["verdict"] = verdict;
        else
            events->Result["report"] = verdict + "\n";
        return 0;
    }
    if (events) {
        EventProgress progress(*events);
        RunDownload(list, progress, dev.GetSerial(), channel, *session.Options().File);
        return 0;
    }
    // Ctrl-C stops at the next step, so the failure says where the target is left.
    CatchInterrupt(true);
    TerminalProgress progress;
    RunDownload(list, progress, dev.GetSerial(), channel, *session.Options().File);
    progress.EndLine();
    PrintText(std::string(kDownloadFinished) + "\n");
    return 0;
}
