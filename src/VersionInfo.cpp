#include "VersionInfo.h"

#include "History/ActionRecord.h"
#include "NxClock.h"
#include "NxCmdDL.h"
#include "NxCmdSerialCom.h"
#include "NxCmdSts.h"
#include "NxCmdVer.h"
#include "NxException.h"

namespace {

constexpr uint32_t kTimeout = 2500;

// Executes a relayed read built by build; raises the command's error.
std::string RelayText(TNxDev& dev, NxCmdSerialCom& cmd, void (NxCmdSerialCom::*build)(uint8_t),
                      uint8_t ch)
{
    (cmd.*build)(ch);
    dev.ExecuteOrThrow(cmd, kTimeout);
    return cmd.RespText(0);
}

std::string ControllerText(TNxDev& dev, NxCmdVer& cmd, void (NxCmdVer::*build)())
{
    (cmd.*build)();
    dev.ExecuteOrThrow(cmd, kTimeout);
    return cmd.Text();
}

NxVersionInfo ReadComponent(TNxDev& dev, uint8_t ch)
{
    NxVersionInfo info;
    info.Component = true;
    NxCmdSerialCom cmd;
    cmd.SerialComGetStatusFlag(ch);
    // A component without communication functions gets its own message.
    if (!dev.Execute(cmd, kTimeout) || cmd.IsError())
        throw NxException(kNoComponentAnswer);
    const uint16_t status = cmd.RespWord(0);
    info.HwVer = RelayText(dev, cmd, &NxCmdSerialCom::SerialComGetHardwareVersion, ch);
    info.BlName = RelayText(dev, cmd, &NxCmdSerialCom::SerialComBootloaderName, ch);
    info.BlVer = RelayText(dev, cmd, &NxCmdSerialCom::SerialComGetBootloaderVersion, ch);
    info.BlDate = RelayText(dev, cmd, &NxCmdSerialCom::SerialComGetBootloaderDate, ch);
    info.HasApplication = (status & 0x8000) == 0;
    if (info.HasApplication) {
        info.AppName = RelayText(dev, cmd, &NxCmdSerialCom::SerialComGetApplicationName, ch);
        info.AppVer = RelayText(dev, cmd, &NxCmdSerialCom::SerialGetApplicationVersion, ch);
        info.AppDate = RelayText(dev, cmd, &NxCmdSerialCom::SerialComGetApplicationDate, ch);
    }
    return info;
}

NxVersionInfo ReadController(TNxDev& dev)
{
    NxVersionInfo info;
    NxCmdSts sts;
    dev.ExecuteOrThrow(sts, kTimeout);
    NxCmdVer cmd;
    info.HwName = ControllerText(dev, cmd, &NxCmdVer::GetHwName);
    info.HwVer = ControllerText(dev, cmd, &NxCmdVer::GetHwVer);
    info.BlName = ControllerText(dev, cmd, &NxCmdVer::GetBlName);
    info.BlVer = ControllerText(dev, cmd, &NxCmdVer::GetBlVer);
    info.BlDate = ControllerText(dev, cmd, &NxCmdVer::GetBlDate);
    info.HasApplication = sts.IsInApplication();
    if (info.HasApplication) {
        info.AppName = ControllerText(dev, cmd, &NxCmdVer::GetAppName);
        info.AppVer = ControllerText(dev, cmd, &NxCmdVer::GetAppVer);
        info.AppDate = ControllerText(dev, cmd, &NxCmdVer::GetAppDate);
        info.TblName = ControllerText(dev, cmd, &NxCmdVer::GetTblName);
        info.TblVer = ControllerText(dev, cmd, &NxCmdVer::GetTblVer);
        info.TblDate = ControllerText(dev, cmd, &NxCmdVer::GetTblDate);
    }
    return info;
}

} // namespace

NxVersionInfo ReadVersionInfo(TNxDev& dev, int channel)
{
    return WithBridgeHint(dev, [&] {
        return channel > 0 ? ReadComponent(dev, static_cast<uint8_t>(channel))
                           : ReadController(dev);
    });
}

std::optional<NxVersionInfo> ReadVersionAfterAction(TNxDev& dev, int channel)
{
    try {
        return ReadVersionInfo(dev, channel);
    } catch (const NxException&) {
        return std::nullopt;
    }
}

std::string FormatVersionReport(const NxVersionInfo& i, const char* eol)
{
    std::string r =
        StrFormat("Hardware     Name: %-24s Ver: %-7s%s", i.HwName.c_str(), i.HwVer.c_str(), eol);
    r += StrFormat("Bootloader   Name: %-24s Ver: %-7s Date: %s%s", i.BlName.c_str(),
                   i.BlVer.c_str(), i.BlDate.c_str(), eol);
    if (!i.HasApplication)
        return r;
    r += StrFormat("Application  Name: %-24s Ver: %-7s Date: %s%s", i.AppName.c_str(),
                   i.AppVer.c_str(), i.AppDate.c_str(), eol);
    if (!i.Component)
        r += StrFormat("ParamTables  Name: %-24s Ver: %-7s Date: %s%s", i.TblName.c_str(),
                       i.TblVer.c_str(), i.TblDate.c_str(), eol);
    return r;
}

void ResetToApplication(TNxDev& dev, int channel)
{
    ActionRecord record(HistoryAction::Reset, dev.GetSerial(), channel);
    record.SetDevice(dev);
    record.Run([&] {
        WithBridgeHint(dev, [&] {
            if (channel > 0) {
                NxCmdSerialCom cmd;
                cmd.SerialComEnterApplication(static_cast<uint8_t>(channel));
                dev.ExecuteOrThrow(cmd, 5000);
            } else {
                NxCmdDL cmd;
                cmd.ResetToApplication();
                dev.ExecuteOrThrow(cmd, 5000);
            }
        });
        NxSleep(250);
    });
}
