#include "Cli/CmdReset.h"

#include "Cli/CliSession.h"
#include "Cli/CmdHistory.h"
#include "History/ActionRecord.h"
#include "VersionInfo.h"

CmdReset::CmdReset()
    : Command("reset", "[--device=SERIAL,...|all] [--expect=N] [--jobs=N] [--channel=N]",
              "restart the application of the controller or component")
{
}

void CmdReset::Validate(const CliOptions& opts) const
{
    if (opts.Json && !opts.SeveralDevices() && !opts.Events)
        throw CliUsageError("reset prints JSON for several devices only (--device=all or a list)");
}

int CmdReset::Execute(CliSession& session) const
{
    ScopedSect lock(session.Devices().Lock);
    const int channel = session.Options().Channel.value_or(0);
    ActionRecord record(HistoryAction::Reset, session.Options().Device.value_or(""), channel);
    TNxDev* target = nullptr;
    const int rc = record.Run([&] {
        target = &RecordedTarget(session, record);
        ResetToApplication(*target, session.Channel(*target));
        return 0;
    });
    TellVersionAfter(session, record, *target, channel);
    return rc;
}
