#include "Cli/CliSession.h"

#include "Appcfg.h"
#include "Bridge/BridgeLib.h"
#include "Cli/Command.h"
#include "Cli/DeviceEvents.h"
#include "Cli/TerminalProgress.h"
#include "Download/DownloadAction.h"
#include "NxException.h"
#include "NxUi.h"

#include <cstdio>
#include <sys/stat.h>

namespace {

// Core message boxes: to stderr, after ending a progress bar's line. Static,
// so it outlives a session whose construction fails.
class StderrSink : public INxMessageSink
{
public:
    void ShowMessage(const std::string& text, const std::string& caption, Icon) override
    {
        TerminalProgress::EndActiveLine();
        WriteOutput(stderr, MessageLine(text, caption) + "\n");
    }
};
StderrSink g_Sink;

} // namespace

CliSession::CliSession(const CliOptions& opts, bool openDevices, DeviceEvents* events)
    : m_Opts(opts), m_pEvents(events)
{
    if (events)
        m_pEventSink = std::make_unique<EventSink>(*events);
    SetNxMessages(m_pEventSink ? static_cast<INxMessageSink*>(m_pEventSink.get()) : &g_Sink);
    if (opts.ComLog) {
        struct stat st
        {
        };
        if (!opts.ComLogDir.empty() &&
            (::stat(opts.ComLogDir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)))
            throw CliUsageError("--comlog: '" + opts.ComLogDir + "' is not a folder");
        // Devices open their log when they are created, so before Update.
        CAppCfg::Instance().SetComLog(true, opts.ComLogDir);
    }
    if (opts.Simulate)
        m_pSim = std::make_unique<Sim::SimBackend>(opts.ScenarioFile);
    TNxDevList::SetInstance(&m_List);
    if (openDevices && !opts.SeveralDevices())
        Open();
}

void CliSession::Open()
{
    const CliOptions& opts = m_Opts;
    // The list is updated once, not polled: a controller that missed its
    // first status probe gets a second one at once.
    m_List.SetStatusAttempts(2);
    if (opts.Device)
        OpenNamed(m_Named = NamedSerial(*opts.Device));
    else
        m_List.Update();
}

std::string CliSession::NamedSerial(const std::string& name)
{
    // A bridge is named by its serial number or by its port.
    std::vector<SBridgeInfo> bridges;
    TNxDevList::EnumerateBridges(bridges);
    for (const SBridgeInfo& b : bridges)
        if (b.Serial == name)
            return name;
    for (const SBridgeInfo& b : bridges)
        if (b.Known && Bridge::Lib().PortName(static_cast<uint32_t>(b.Index)) == name)
            return b.Serial;
    return name;
}

void CliSession::OpenNamed(const std::string& serial)
{
    m_List.SetBridgeFilter([serial](const std::string& s) { return s == serial; });
    m_List.Update();
    if (!m_List.FindBySerial(serial)) {
        const auto& errors = m_List.OpenErrors();
        m_bTargetBusy = !errors.empty() && errors.front().Busy;
        m_TargetSilent = SilentText(serial); // the next Update forgets it
        // What else is attached, for the message; the named one was tried.
        if (!m_pEvents) {
            m_List.SetBridgeFilter([serial](const std::string& s) { return s != serial; });
            m_List.Update();
        }
    }
    m_List.SetBridgeFilter({});
}

CliSession::~CliSession()
{
    TNxDevList::SetInstance(nullptr);
    SetNxMessages(nullptr);
}

std::string CliSession::FoundText()
{
    ScopedSect lock(m_List.Lock);
    std::string text;
    for (size_t i = 0; i < m_List.Count(); ++i) {
        const TNxDev& dev = *m_List.GetDev(i);
        text += "\n  " + dev.GetSerial() + "  " + dev.GetName();
    }
    return text;
}

TNxDev& CliSession::Target()
{
    try {
        TNxDev& dev = FindTarget();
        // The run on several names each device's log in its summary.
        if (m_pEvents && !dev.Link().TracePath().empty())
            m_pEvents->Result["comlog"] = dev.Link().TracePath();
        return dev;
    } catch (const NxException&) {
        // A script reading the JSON learns which bridges could not be opened.
        if (m_Opts.Json && !m_pEvents)
            PrintJson({{"errors", OpenErrorsJson(m_List)}});
        throw;
    }
}

std::string CliSession::SilentText(const std::string& serial) const
{
    std::string text;
    for (const auto& u : m_List.Unanswered())
        if (serial.empty() || u.Serial == serial)
            text += StrFormat("%sBridge '%s' was found, but its controller did not answer "
                              "correctly: %s",
                              text.empty() ? "" : "\n", u.Serial.c_str(), u.Reason.c_str());
    return text;
}

TNxDev& CliSession::FindTarget()
{
    ScopedSect lock(m_List.Lock);
    const std::string found = FoundText();
    if (m_Opts.Device) {
        if (TNxDev* dev = m_List.FindBySerial(m_Named))
            return *dev;
        if (m_pEventSink)
            TargetMissing();
        if (!m_TargetSilent.empty())
            throw NxException(m_TargetSilent);
        ThrowNx("Device '%s' not found\n%s%s", m_Opts.Device->c_str(),
                found.empty() ? "No controller found." : "Controllers found:", found.c_str());
    }
    if (m_List.Count() == 1)
        return *m_List.GetDev(0);
    if (m_List.Count() == 0) {
        // A controller that answers wrongly is not the same as none at all.
        const std::string silent = SilentText({});
        if (!silent.empty())
            throw NxException(silent);
        ThrowNx("No controller found. Attach one, list its serial port in NXUPDATE_PORTS, "
                "or use --simulate.");
    }
    ThrowNx("Several controllers found; choose one with --device=SERIAL:%s", found.c_str());
}

void CliSession::TargetMissing()
{
    // The list's message says why the bridge could not be opened.
    if (!m_pEventSink->Last().empty())
        throw NxException(m_pEventSink->Last());
    if (!m_TargetSilent.empty())
        throw NxException(m_TargetSilent);
    std::vector<SBridgeInfo> bridges;
    TNxDevList::EnumerateBridges(bridges);
    for (const SBridgeInfo& b : bridges)
        if (b.Serial == m_Named)
            ThrowNx("No controller answers behind bridge '%s'", b.Serial.c_str());
    ThrowNx("Device '%s' not found", m_Opts.Device->c_str());
}

int CliSession::Channel(TNxDev& dev)
{
    const int ch = m_Opts.Channel.value_or(0);
    if (!IsValidChannel(m_List, dev, ch))
        ThrowNx("Invalid channel for device '%s'", dev.GetSerial().c_str());
    return ch;
}
