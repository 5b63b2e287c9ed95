#include "CmdDownload.h"

#include "CliSession.h"
#include "NxException.h"
#include "TerminalProgress.h"

CmdDownload::CmdDownload()
    : Command("download", "--file=PATH [--device=SERIAL] [--channel=N]",
              "download firmware (.hex), parameter tables (.xml) or both (.dat)",
              kOptFile | kOptDevice | kOptChannel)
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
    TerminalProgress progress;
    RunDownload(list, progress, dev.GetSerial(), session.Options().Channel.value_or(0),
                *session.Options().File);
    progress.EndLine();
    PrintText(std::string(kDownloadFinished) + "\n");
    return 0;
}
