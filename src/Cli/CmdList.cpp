#include "Cli/CmdList.h"

#include "Cli/CliSession.h"
#include "Cli/DeviceEvents.h"
#include "Cli/ProcessRunner.h"
#include "NxException.h"

#include <algorithm>
#include <cstdio>

CmdList::CmdList() : Command("list", "", "controllers and the components on their channels") {}

void CmdList::Validate(const CliOptions& opts) const
{
    if (opts.Device && !opts.Events)
        throw CliUsageError("list shows every controller: it takes no --device");
}

namespace {

CliJson ChannelJson(int ch, const TNxDev::NxChannelInfo& info)
{
    return {{"channel", ch},
            {"label", ChannelLabel(ch, info)},
            {"identifier", info.Identifier & 0xFF},
            {"capability", info.CapabilityFlag},
            {"serialNumber", info.SerialNumber},
            {"canDownload", CanDownload(info)},
            {"canResetFilter", CanResetFilter(info)}};
}

// The listed controllers as the JSON shows them.
CliJson DevicesJson(TNxDevList& list)
{
    ScopedSect lock(list.Lock);
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
    return devices;
}

// "Nothing attached" and "not allowed to look" must differ for a script.
int Print(const CliJson& devices, const CliJson& errors, const CliOptions& opts)
{
    const CliJson unserved = UnservedBridgesJson(opts);
    if (opts.Json) {
        PrintJson({{"devices", devices}, {"errors", errors}, {"unserved", unserved}});
    } else {
        std::string text;
        for (const CliJson& dev : devices) {
            text += dev.value("name", "") + "\n";
            for (const CliJson& ch : dev["channels"])
                text += "  " + ch.value("label", "") + "\n";
        }
        PrintText(text);
        if (devices.empty())
            std::fputs("No controller found.\n", stderr);
    }
    return errors.empty() ? 0 : 1;
}

// The bridges to probe each in a process of its own: every one, when each
// has a serial number of its own; otherwise none (they are probed here).
std::vector<std::string> OwnProcessBridges()
{
    std::vector<SBridgeInfo> bridges;
    TNxDevList::EnumerateBridges(bridges);
    std::vector<std::string> serials;
    for (const SBridgeInfo& b : bridges) {
        if (!b.Known)
            continue; // unplugged since the count
        if (b.Serial.empty() ||
            std::find(serials.begin(), serials.end(), b.Serial) != serials.end())
            return {};
        serials.push_back(b.Serial);
    }
    return serials.size() > 1 ? serials : std::vector<std::string>{};
}

// Each bridge's process tells its controller (or none) and why it could not
// be opened; the output keeps the bridges' order.
class ParallelList : public ProcessRunner::IListener
{
public:
    explicit ParallelList(size_t count) : m_Done(count) {}
    void OnSpawnFailed(size_t, const std::string& text) override
    {
        WriteOutput(stderr, text + "\n");
    }
    void OnSkipped(size_t) override {}
    void OnLine(size_t child, const std::string& line) override
    {
        CliJson e = CliJson::parse(line, nullptr, false);
        if (e.is_object() && e.value("event", "") == "done")
            m_Done[child] = std::move(e);
    }
    void OnExit(size_t, int, const std::string&) override {}

    void Merge(CliJson& devices, CliJson& errors) const
    {
        for (const CliJson& e : m_Done) {
            if (!e.is_object())
                continue; // gone since the count, or no controller behind it
            for (const CliJson& d : e.value("devices", CliJson::array()))
                devices.push_back(d);
            for (const CliJson& err : e.value("errors", CliJson::array())) {
                // As the list's own message box says it in one process.
                WriteOutput(stderr, std::string(TNxDevList::kCaption) + ": " +
                                        err.value("message", "") + "\n");
                errors.push_back(err);
            }
        }
    }

private:
    std::vector<CliJson> m_Done;
};

} // namespace

int CmdList::Execute(CliSession& session) const
{
    const CliOptions& opts = session.Options();
    if (DeviceEvents* events = session.Events()) {
        events->Result["devices"] = DevicesJson(session.Devices());
        events->Result["errors"] = OpenErrorsJson(session.Devices());
        return 0;
    }
    const std::vector<std::string> serials = OwnProcessBridges();
    if (serials.empty()) {
        session.Open();
        return Print(DevicesJson(session.Devices()), OpenErrorsJson(session.Devices()), opts);
    }

    // Ctrl-C ends the probes at once: they change nothing.
    ProcessRunner runner(std::chrono::seconds(0));
    const std::string self = ProcessRunner::SelfPath();
    for (const std::string& serial : serials) {
        std::vector<std::string> args = {self, "list", "--device=" + serial, "--events"};
        if (opts.Simulate)
            args.push_back(opts.ScenarioFile.empty() ? "--simulate"
                                                     : "--simulate=" + opts.ScenarioFile);
        if (opts.ComLog)
            args.push_back(opts.ComLogDir.empty() ? "--comlog" : "--comlog=" + opts.ComLogDir);
        runner.Add(std::move(args));
    }
    ParallelList probes(serials.size());
    runner.Run(probes);
    if (runner.Stopping())
        throw NxException(kInterruptedText).Mark(NxFailure::Interrupted);
    CliJson devices = CliJson::array(), errors = CliJson::array();
    probes.Merge(devices, errors);
    return Print(devices, errors, opts);
}
