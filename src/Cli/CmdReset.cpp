#include "CmdReset.h"

#include "CliSession.h"
#include "VersionInfo.h"

CmdReset::CmdReset()
    : Command("reset", "[--device=SERIAL] [--channel=N]",
              "restart the application of the controller or component", kOptDevice | kOptChannel)
{
}

int CmdReset::Execute(CliSession& session) const
{
    ScopedSect lock(session.Devices().Lock);
    TNxDev& dev = session.Target();
    ResetToApplication(dev, session.Channel(dev));
    return 0;
}
