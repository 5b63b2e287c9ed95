#include "CmdList.h"

#include "CliSession.h"
#include "NxException.h"

#include <cstdio>

CmdList::CmdList() : Command("list", "", "controllers and the components on their channels") {}

static CliJson ChannelJson(int ch, const TNxDev::NxChannelInfo& info)
{
    return {{"channel", ch},
            {"label", ChannelLabel(ch, info)},
            {"identifier", info.Identifier & 0xFF},
            {"capability", info.CapabilityFlag},
            {"serialNumber", info.SerialNumber},
            {"canDownload", CanDownload(info)},
            {"canResetFilter", CanResetFilter(info)}};
}

int CmdList::Execute(CliSession& session) const
{
    TNxDevList& list = session.Devices();
    ScopedSect lock(list.Lock);
    // "Nothing attached" and "not allowed to look" must differ for a script.
    const int code = list.OpenErrors().empty() ? 0 : 1;
    if (session.Options().Json) {
        CliJson devices = CliJson::array();
        for (size_t i = 0; i < list.Count(); ++i) {
            const TNxDev& dev = *list.GetDev(i);
            CliJson channels = CliJson::array();
            int ch = 0;
            for (const auto& info : dev.GetChannels())
                channels.push_back(ChannelJson(++ch, info));
            devices.push_back({{"serial", dev.GetSerial()},
                               {"name", dev.GetName()},
                               {"vid", StrFormat("%04X", dev.GetVid())},
                               {"pid", StrFormat("%04X", dev.GetPid())},
                               {"state", dev.FoundInBootloader() ? "bootloader" : "application"},
                               {"channels", channels}});
        }
        PrintJson({{"devices", devices}, {"errors", OpenErrorsJson(list)}});
        return code;
    }

    std::string text;
    for (size_t i = 0; i < list.Count(); ++i) {
        const TNxDev& dev = *list.GetDev(i);
        text += dev.GetName() + "\n";
        int ch = 0;
        for (const auto& info : dev.GetChannels())
            text += "  " + ChannelLabel(++ch, info) + "\n";
    }
    PrintText(text);
    if (list.Count() == 0)
        std::fputs("No controller found.\n", stderr);
    return code;
}
