#include "Cli/CmdInfo.h"

#include "Cli/CliSession.h"
#include "Cli/DeviceEvents.h"
#include "VersionInfo.h"

CmdInfo::CmdInfo()
    : Command("info", "[--device=SERIAL,...|all] [--expect=N] [--jobs=N] [--channel=N]",
              "names, versions and dates of hardware, bootloader, application and tables")
{
}

static CliJson InfoJson(const TNxDev& dev, int channel, const NxVersionInfo& v)
{
    CliJson doc = {{"serial", dev.GetSerial()},
                   {"channel", channel},
                   {"state", v.HasApplication ? "application" : "bootloader"},
                   {"hardware", {{"name", v.HwName}, {"version", v.HwVer}}},
                   {"bootloader", {{"name", v.BlName}, {"version", v.BlVer}, {"date", v.BlDate}}}};
    if (v.HasApplication) {
        doc["application"] = {{"name", v.AppName}, {"version", v.AppVer}, {"date", v.AppDate}};
        if (!v.Component)
            doc["paramTables"] = {{"name", v.TblName}, {"version", v.TblVer}, {"date", v.TblDate}};
    }
    return doc;
}

int CmdInfo::Execute(CliSession& session) const
{
    ScopedSect lock(session.Devices().Lock);
    TNxDev& dev = session.Target();
    const int channel = session.Channel(dev);
    const NxVersionInfo info = ReadVersionInfo(dev, channel);
    if (DeviceEvents* events = session.Events()) {
        if (session.Options().Json)
            events->Result["info"] = InfoJson(dev, channel, info);
        else
            events->Result["report"] = FormatVersionReport(info, "\n");
    } else if (session.Options().Json) {
        CliJson doc = InfoJson(dev, channel, info);
        doc["errors"] = OpenErrorsJson(session.Devices());
        PrintJson(doc);
    } else {
        PrintText(FormatVersionReport(info, "\n"));
    }
    return 0;
}
