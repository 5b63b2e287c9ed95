#include "Cli/Command.h"

#include "Bridge/UnservedBridges.h"
#include "Cli/CmdBridges.h"
#include "Cli/CmdDownload.h"
#include "Cli/CmdFilter.h"
#include "Cli/CmdHistory.h"
#include "Cli/CmdInfo.h"
#include "Cli/CmdInspect.h"
#include "Cli/CmdList.h"
#include "Cli/CmdReport.h"
#include "Cli/CmdReset.h"
#include "Download/TempFile.h"
#include "NxCom/TNxDevList.h"
#include "NxException.h"

#include <cerrno>
#include <csignal>
#include <cstdio>

const std::vector<const Command*>& Command::All()
{
    static const CmdList list;
    static const CmdInfo info;
    static const CmdDownload download;
    static const CmdFilter filter;
    static const CmdReset reset;
    static const CmdBridges bridges;
    static const CmdInspect inspect;
    static const CmdHistory history;
    static const CmdReport report;
    static const std::vector<const Command*> all{&list,    &info,    &download, &filter, &reset,
                                                 &bridges, &inspect, &history,  &report};
    return all;
}

const Command* Command::Find(const std::string& name)
{
    for (const Command* c : All())
        if (name == c->Name())
            return c;
    return nullptr;
}

std::string CliUsage()
{
    std::string text = "usage:\n";
    for (const Command* c : Command::All()) {
        char line[160];
        std::snprintf(line, sizeof line, "  nxupdate-cli %-8s %s", c->Name(), c->Synopsis());
        std::string s = line;
        s.erase(s.find_last_not_of(' ') + 1);
        text += s + "\n";
    }
    text += "common options: " + CommonOptionsUsage() + "\n\n";
    for (const Command* c : Command::All()) {
        char line[200];
        std::snprintf(line, sizeof line, "  %-9s %s\n", c->Name(), c->Summary());
        text += line;
    }
    text += "\n" + OptionsHelp() +
            "\n"
            "Serial ports beside USB bridges: NXUPDATE_PORTS=/dev/ttyX[:/dev/ttyY...]\n"
            "Exit codes: 0 success, 1 the operation failed, 2 usage error.\n";
    return text;
}

void PrintText(const std::string& text)
{
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i)
        if (!(text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n'))
            out += text[i];
    WriteOutput(stdout, out);
}

namespace {

int g_OutputError = 0;
bool g_StdoutLost = false;
bool g_StderrLost = false;
volatile std::sig_atomic_t g_HungUp = 0;
volatile std::sig_atomic_t g_Interrupted = 0;
volatile std::sig_atomic_t g_SecondEnds = 0;

void OnHangUp(int)
{
    g_HungUp = 1;
}

void OnInterrupt(int sig)
{
    if (g_Interrupted && g_SecondEnds) {
        RemovePendingTempFiles();
        std::signal(sig, SIG_DFL);
        std::raise(sig);
        return;
    }
    g_Interrupted = 1;
}

} // namespace

void OutputFailed(std::FILE* f, int err)
{
    if (g_OutputError == 0)
        g_OutputError = err ? err : EIO;
    (f == stdout ? g_StdoutLost : g_StderrLost) = true;
    std::clearerr(f);
}

bool WriteOutput(std::FILE* f, const std::string& text)
{
    bool& lost = f == stdout ? g_StdoutLost : g_StderrLost;
    if (lost)
        return false;
    if (g_HungUp) {
        // Whatever the buffer still holds goes nowhere either.
        OutputFailed(f, EIO);
        return false;
    }
    errno = 0;
    const bool ok = (text.empty() || std::fwrite(text.data(), 1, text.size(), f) == text.size()) &&
                    std::fflush(f) == 0;
    if (ok)
        return true;
    OutputFailed(f, errno);
    return false;
}

void TreatHangUpAsClosedOutput()
{
    struct sigaction old
    {
    };
    if (::sigaction(SIGHUP, nullptr, &old) != 0 || old.sa_handler == SIG_IGN)
        return;
    struct sigaction sa
    {
    };
    sa.sa_handler = OnHangUp;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    ::sigaction(SIGHUP, &sa, nullptr);
}

void CatchInterrupt(bool secondEnds)
{
    g_SecondEnds = secondEnds;
    struct sigaction sa
    {
    };
    sa.sa_handler = OnInterrupt;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART; // a port's read or sleep goes on; the next step stops
    ::sigaction(SIGINT, &sa, nullptr);
}

bool Interrupted()
{
    return g_Interrupted != 0;
}

void ThrowIfInterrupted()
{
    if (Interrupted())
        throw NxException(kInterruptedText).Mark(NxFailure::Interrupted);
}

int OutputError()
{
    return g_OutputError;
}

CliJson UnservedBridgesJson(const CliOptions& opts)
{
    CliJson unserved = CliJson::array();
    if (opts.Simulate)
        return unserved;
    for (const Bridge::SUnservedBridge& b : Bridge::FindUnservedBridges()) {
        WriteOutput(stderr, Bridge::UnservedText(b) + "\n");
        unserved.push_back({{"usb", b.Usb}, {"vid", b.Vid}, {"pid", b.Pid}});
    }
    return unserved;
}

CliJson OpenErrorsJson(const TNxDevList& list)
{
    CliJson errors = CliJson::array();
    for (const auto& e : list.OpenErrors())
        errors.push_back({{"port", e.Port}, {"message", e.Message}});
    return errors;
}

void PrintJson(const CliJson& doc)
{
    // Texts come from devices and need not be UTF-8 (an erased field reads 0xFF).
    PrintText(doc.dump(2, ' ', false, CliJson::error_handler_t::replace) + "\n");
}
