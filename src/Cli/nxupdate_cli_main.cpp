// nxupdate-cli: the headless front end over the same core as the desktop
// program. Exit codes: 0 success, 1 the operation failed (the desktop
// program's message on stderr), 2 a usage error.
#include "Appcfg.h"
#include "Cli/CliSession.h"
#include "Cli/CmdHistory.h"
#include "Cli/Command.h"
#include "Cli/DeviceEvents.h"
#include "Cli/SeveralDevices.h"
#include "Cli/TerminalProgress.h"
#include "NxException.h"
#include "NxVersion.h"

#include "Download/TempFile.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;
// As a shell reports a process that SIGINT ended.
constexpr int kExitInterrupted = 128 + SIGINT;

int UsageError(const std::string& text)
{
    std::fprintf(stderr, "nxupdate-cli: %s\nTry 'nxupdate-cli --help'.\n", text.c_str());
    return kExitUsage;
}

// The command for this command line; raises CliUsageError.
const Command& Resolve(const CliOptions& opts)
{
    const Command* cmd = Command::Find(opts.Command);
    if (!cmd)
        throw CliUsageError(opts.Command.empty() ? "no command given"
                                                 : "unknown command '" + opts.Command + "'");
    CheckOptionsOf(cmd->Name(), opts);
    cmd->Validate(opts);
    return *cmd;
}

// The exit code once the command is done: output that could not be written
// (a closed pipe, a full disk) turns it into a failure, said on stderr when
// stderr still takes it.
int Finish(int rc)
{
    errno = 0;
    if (std::fflush(stdout) != 0)
        OutputFailed(stdout, errno);
    if (OutputError() == 0)
        return rc;
    WriteOutput(stderr, std::string("nxupdate-cli: the output could not be written: ") +
                            std::strerror(OutputError()) + "\n");
    return rc != 0 ? rc : kExitFailed;
}

// The failure's text, then the lines that explain it.
void PrintFailure(const std::exception& e)
{
    TerminalProgress::EndActiveLine();
    std::fflush(stdout);
    std::string text = e.what();
    if (const auto* nx = dynamic_cast<const NxException*>(&e); nx && !nx->Detail().empty())
        text += "\n" + nx->Detail();
    for (size_t pos; (pos = text.find("\r\n")) != std::string::npos;)
        text.erase(pos, 1);
    WriteOutput(stderr, text + "\n");
}

// One device's process of a run on several: events on stdout, nothing else.
int RunDeviceEvents(const Command& cmd, const CliOptions& opts)
{
    DeviceEvents::CatchInterrupt();
    DeviceEvents events(opts.Device.value_or(""));
    bool busy = false;
    try {
        CliSession session(opts, true, &events);
        busy = session.TargetBusy();
        ThrowIfInterrupted();
        const int rc = cmd.Execute(session);
        events.Done();
        return Finish(rc);
    } catch (const CliUsageError& e) {
        events.Failed(e.what());
        return kExitUsage;
    } catch (const NxException& e) {
        events.Failed(e.what(), e.Kinds(), busy);
        return Finish(kExitFailed);
    } catch (const std::exception& e) {
        events.Failed(e.what(), 0, busy);
        return Finish(kExitFailed);
    }
}

} // namespace

int main(int argc, char** argv)
{
    // A closed pipe, or a terminal that hangs up, must not end a download
    // half-way: writes fail instead, printing stops and the exit code says
    // the output was lost.
    std::signal(SIGPIPE, SIG_IGN);
    TreatHangUpAsClosedOutput();
    // Every other signal that ends the process removes the unpacked firmware first.
    RemoveTempFilesOnFatalSignals();
    CliOptions opts;
    const Command* cmd = nullptr;
    try {
        opts = ParseCliOptions(std::vector<std::string>(argv + 1, argv + argc));
        if (opts.Help) {
            PrintText(CliUsage());
            return Finish(0);
        }
        if (opts.Version) {
            PrintText(std::string("nxupdate-cli ") + NX_VERSION + "\n");
            return Finish(0);
        }
        cmd = &Resolve(opts);
        UseHistory(*cmd, opts);
    } catch (const CliUsageError& e) {
        return UsageError(e.what());
    }

    if (opts.Events)
        return RunDeviceEvents(*cmd, opts);
    try {
        if (cmd->Offline())
            return Finish(cmd->ExecuteOffline(opts));
        CliSession session(opts, cmd->OpensDevices());
        if (opts.SeveralDevices())
            return Finish(RunOnSeveralDevices(*cmd, session));
        return Finish(cmd->Execute(session));
    } catch (const CliUsageError& e) {
        return UsageError(e.what());
    } catch (const std::bad_alloc&) {
        PrintFailure(NxException("Out of memory"));
        return Finish(kExitFailed);
    } catch (const NxException& e) {
        PrintFailure(e);
        return Finish(e.Is(NxFailure::Interrupted) ? kExitInterrupted : kExitFailed);
    } catch (const std::exception& e) {
        // NxException carries the desktop program's text; anything else is
        // still a failed operation, not a crash.
        PrintFailure(e);
        return Finish(kExitFailed);
    }
}
