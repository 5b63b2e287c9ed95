#include "Cli/SeveralDevices.h"

#include "Bridge/BridgeLib.h"
#include "Cli/CliSession.h"
#include "Cli/Command.h"
#include "Cli/DeviceChoice.h"
#include "Cli/ProcessRunner.h"
#include "Cli/SeveralViews.h"
#include "History/ActionRecord.h"
#include "History/HistoryTime.h"
#include "NxCom/CP210xCom.h"
#include "NxException.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <sys/wait.h>
#include <unistd.h>

namespace {

// The devices' runs: what each device's process tells becomes its state,
// which the views show.
class Run : public ProcessRunner::IListener
{
public:
    Run(const Command& cmd, const CliOptions& opts)
        : m_Cmd(cmd), m_Opts(opts), m_View(m_Runs, opts.Json)
    {
    }

    void Add(const std::string& serial)
    {
        DeviceRun r;
        r.Serial = serial;
        m_Runs.push_back(std::move(r));
    }
    // A device that is not started: its failure is known now.
    void Fail(size_t i, const std::string& text)
    {
        DeviceRun& r = m_Runs[i];
        r.Start = r.End = DeviceRun::Clock::now();
        End(r, DeviceResult::Failed, text);
    }
    int Execute();

    void OnStart(size_t child) override
    {
        Of(child).Start = DeviceRun::Clock::now();
        Of(child).Text = "started";
        m_View.Changed(Of(child));
    }
    void OnSpawnFailed(size_t child, const std::string& text) override
    {
        End(Of(child), DeviceResult::Failed, text);
    }
    void OnSkipped(size_t child) override
    {
        Of(child).Start = DeviceRun::Clock::now();
        End(Of(child), DeviceResult::Interrupted, "Not started: stopped before its turn");
    }
    void OnLine(size_t child, const std::string& line) override;
    void OnExit(size_t child, int status, const std::string& errTail) override;
    ProcessRunner::Clock::time_point WakeAt() const override { return m_View.WakeAt(); }
    void OnWake() override { m_View.Draw(); }

private:
    DeviceRun& Of(size_t child) { return m_Runs[m_Child[child]]; }
    std::vector<std::string> Arguments(const std::string& self, const DeviceRun& r) const;
    void End(DeviceRun& r, DeviceResult result, const std::string& text);

    const Command& m_Cmd;
    const CliOptions& m_Opts;
    std::vector<DeviceRun> m_Runs;
    StatusView m_View;
    ProcessRunner m_Runner;
    std::vector<size_t> m_Child; // the run of each child process
    // Written into the service record by every device's process.
    std::string m_RunId = UtcText(HistoryClock::now()) + "/" + std::to_string(::getpid());
};

std::vector<std::string> Run::Arguments(const std::string& self, const DeviceRun& r) const
{
    std::vector<std::string> args = {self, m_Cmd.Name(), "--device=" + r.Serial,
                                     "--events=" + m_RunId};
    if (m_Opts.Channel)
        args.push_back("--channel=" + std::to_string(*m_Opts.Channel));
    if (m_Opts.File)
        args.push_back("--file=" + *m_Opts.File);
    if (m_Opts.DryRun)
        args.push_back("--dry-run");
    if (m_Opts.Simulate)
        args.push_back(m_Opts.ScenarioFile.empty() ? "--simulate"
                                                   : "--simulate=" + m_Opts.ScenarioFile);
    if (m_Opts.ComLog)
        args.push_back(m_Opts.ComLogDir.empty() ? "--comlog" : "--comlog=" + m_Opts.ComLogDir);
    for (const std::string& history : m_Opts.History)
        args.push_back("--history=" + history);
    if (m_Opts.Json)
        args.push_back("--json");
    return args;
}

void Run::End(DeviceRun& r, DeviceResult result, const std::string& text)
{
    if (r.Ended)
        return;
    r.Ended = true;
    r.End = DeviceRun::Clock::now();
    r.Result = result;
    r.Text = text;
    if (result == DeviceResult::Done)
        r.Percent = 100;
    // A failure the process could not report itself is told here.
    if (m_Opts.Json && result != DeviceResult::Done && r.Done.is_null())
        EmitJsonLine({{"device", r.Serial},
                      {"event", "failed"},
                      {"error", text},
                      {"busy", false},
                      {"interrupted", result == DeviceResult::Interrupted},
                      {"bootloader", false}});
    m_View.Changed(r);
}

void Run::OnLine(size_t child, const std::string& line)
{
    DeviceRun& r = Of(child);
    CliJson e = CliJson::parse(line, nullptr, false);
    if (!e.is_object() || !e.contains("event") || !e["event"].is_string()) {
        r.Text = line; // not an event: show it as it is
        return m_View.Changed(r);
    }
    e["device"] = r.Serial;
    const std::string kind = e["event"];
    if (m_Opts.Json && !r.Ended)
        EmitJsonLine(e);
    if (kind == "progress") {
        r.Text = e.value("text", std::string());
        if (e.contains("percent") && e["percent"].is_number_integer())
            r.Percent = e["percent"];
        return m_View.Changed(r);
    }
    r.Done = e;
    r.ComLog = e.value("comlog", std::string());
    r.Version = e.value("version", std::string());
    if (kind == "done")
        return End(r, DeviceResult::Done, e.value("checksum", std::string()));
    const bool busy = e.value("busy", false);
    r.UserStopped = e.value("interrupted", false);
    r.Bootloader = e.value("bootloader", false);
    End(r,
        busy            ? DeviceResult::Busy
        : r.UserStopped ? DeviceResult::Interrupted
                        : DeviceResult::Failed,
        e.value("error", std::string()));
}

void Run::OnExit(size_t child, int status, const std::string& errTail)
{
    DeviceRun& r = Of(child);
    if (r.Ended)
        return;
    std::string why =
        WIFSIGNALED(status)
            ? StrFormat("ended by signal %d (%s)", WTERMSIG(status), strsignal(WTERMSIG(status)))
            : StrFormat("ended with exit code %d", WEXITSTATUS(status));
    std::string text = "The process for this device " + why + " without a result";
    if (!errTail.empty())
        text += ":\n" + errTail;
    End(r, m_Runner.Stopping() ? DeviceResult::Interrupted : DeviceResult::Failed, text);
}

int Run::Execute()
{
    const std::string self = ProcessRunner::SelfPath();
    for (size_t i = 0; i < m_Runs.size(); ++i) {
        DeviceRun& r = m_Runs[i];
        if (r.Ended)
            continue;
        m_Child.push_back(i);
        m_Runner.Add(Arguments(self, r));
        r.Text = "waiting";
    }
    m_View.Draw();
    m_Runner.Run(*this, static_cast<size_t>(m_Opts.Jobs.value_or(0)));
    m_View.Draw();
    PrintSummary(m_Runs, m_Cmd.Name(), m_Opts.Json);
    const bool allOk = std::all_of(m_Runs.begin(), m_Runs.end(), [](const DeviceRun& r) {
        return r.Result == DeviceResult::Done;
    });
    return allOk ? 0 : 1;
}

} // namespace

int RunOnSeveralDevices(const Command& cmd, CliSession& session)
{
    const CliOptions& opts = session.Options();
    std::vector<SBridgeInfo> found;
    const NxStatus st = TNxDevList::EnumerateBridges(found);
    if (st != 0 && st != Bridge::kDeviceNotFound)
        ThrowNx("GetNumDevices failed: %s", CP2102Com::StatusText(st));
    std::vector<SNamedBridge> bridges;
    for (const SBridgeInfo& b : found)
        if (b.Known)
            bridges.push_back({b.Serial, Bridge::Lib().PortName(static_cast<uint32_t>(b.Index))});

    std::vector<std::string> names;
    if (*opts.Device == kFailedDevices) {
        names = FailedInLastRun(HistoryPath());
        if (names.empty()) {
            if (opts.Json)
                EmitJsonLine({{"event", "summary"},
                              {"devices", CliJson::array()},
                              {"succeeded", 0},
                              {"failed", 0}});
            else
                PrintText("No controller failed in your last download or reset on several "
                          "devices: nothing to do.\n");
            return 0;
        }
    } else {
        names = ChooseDevices(*opts.Device, bridges);
    }
    // Before any device is touched.
    if (opts.Expect)
        CheckExpected(*opts.Expect, names, bridges);

    Run run(cmd, opts);
    for (size_t i = 0; i < names.size(); ++i) {
        run.Add(names[i]);
        const auto n = std::count_if(found.begin(), found.end(),
                                     [&](const SBridgeInfo& b) { return b.Serial == names[i]; });
        // A serial number names one bridge, or the process could not choose.
        if (n == 0)
            run.Fail(i, StrFormat("Device '%s' not found", names[i].c_str()));
        else if (names[i].empty())
            run.Fail(i, "The bridge has no serial number: update its controller alone, "
                        "without --device");
        else if (n > 1)
            run.Fail(i, StrFormat("%zd bridges have the serial number '%s': update their "
                                  "controllers one at a time, each attached alone",
                                  static_cast<ssize_t>(n), names[i].c_str()));
    }
    return run.Execute();
}
