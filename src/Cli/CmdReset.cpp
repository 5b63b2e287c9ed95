#include "CmdReset.h"

#include "CliSession.h"
#include "VersionInfo.h"

CmdReset::CmdReset()
    : Command("reset", "[--device=SERIAL,...|all] [--channel=N]",
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
    TNxDev& dev = session.Target();
    ResetToApplication(dev, session.Channel(dev));
    return 0;
}
