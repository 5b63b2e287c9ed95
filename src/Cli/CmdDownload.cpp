#include "CmdDownload.h"

#include "CliSession.h"
#include "NxException.h"
#include "TerminalProgress.h"

CmdDownload::CmdDownload()
    : Command("download", "--file=PATH [--device=SERIAL] [--channel=N] [--dry-run]",
              "download firmware (.hex), parameter tables (.xml) or both (.dat)",
              kOptFile | kOptDevice | kOptChannel | kOptDryRun)
{
}

void CmdDownload::Validate(const CliOptions& opts) const
{
    if (!opts.File)
        throw CliUsageError("download needs --file=PATH");
}

int CmdDownload::Execute(CliSession& session) const
{
    TNxDevList& list = session.Devices();
    ScopedSect lock(list.Lock);
    TNxDev& dev = session.Target();
    const int channel = session.Options().Channel.value_or(0);
    if (session.Options().DryRun) {
        PrintText(DryRunDownload(list, dev.GetSerial(), channel, *session.Options().File) + "\n");
        return 0;
    }
    TerminalProgress progress;
    RunDownload(list, progress, dev.GetSerial(), channel, *session.Options().File);
    progress.EndLine();
    PrintText(std::string(kDownloadFinished) + "\n");
    return 0;
}
