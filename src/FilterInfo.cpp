#include "FilterInfo.h"

#include "History/ActionRecord.h"
#include "NxCmdSerialCom.h"
#include "NxException.h"

namespace {

// Reads the counter reply of a get or set request built by build, then the runtime.
NxFilterCounters Exchange(TNxDev& dev, int channel, void (NxCmdSerialCom::*build)(uint8_t))
{
    const auto ch = static_cast<uint8_t>(channel);
    NxFilterCounters c;
    NxCmdSerialCom cmd;
    (cmd.*build)(ch);
    dev.ExecuteOrThrow(cmd, 1000);
    c.LastChange = cmd.RespDWord(0);
    c.Interval = cmd.RespWord(4);
    cmd.SerialComGetRuntime(ch);
    dev.ExecuteOrThrow(cmd, 1000);
    c.Runtime = cmd.RespDWord(0);
    return c;
}

} // namespace

NxFilterCounters ReadFilterCounters(TNxDev& dev, int channel)
{
    return WithBridgeHint(
        dev, [&] { return Exchange(dev, channel, &NxCmdSerialCom::SerialComGetFilterChange); });
}

void CheckFilterReset(const TNxDev& dev, int channel)
{
    // The desktop program offers the reset only where this holds.
    const auto& channels = dev.GetChannels();
    if (channel < 1 || static_cast<size_t>(channel) > channels.size() ||
        !CanResetFilter(channels[static_cast<size_t>(channel - 1)]))
        ThrowNx("The filter change counter of the component on channel %d cannot be reset",
                channel);
}

NxFilterCounters ResetFilterCounter(TNxDev& dev, int channel)
{
    ActionRecord record(HistoryAction::FilterReset, dev.GetSerial(), channel);
    record.SetDevice(dev);
    return record.Run([&] {
        CheckFilterReset(dev, channel);
        return WithBridgeHint(
            dev, [&] { return Exchange(dev, channel, &NxCmdSerialCom::SerialComSetFilterChange); });
    });
}

std::string FormatFilterText(const NxFilterCounters& c)
{
    std::string t;
    t += StrFormat("      Current Runtime: %8.1f h\n", c.RuntimeHours());
    t += StrFormat("Last Filter Change at: %8.1f h\n", c.LastChangeHours());
    t += StrFormat("Next filter change at: %8.1f h\n", c.NextChangeHours());
    t += StrFormat("            Time used: %8.1f h\n", c.UsedHours());
    t += StrFormat("            Time left: %8.1f h", c.LeftHours());
    return t;
}
