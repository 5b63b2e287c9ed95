// nxupdate-cli: the headless front end over the same core as the desktop
// program. Exit codes: 0 success, 1 the operation failed (the desktop
// program's message on stderr), 2 a usage error.
#include "Appcfg.h"
#include "CliSession.h"
#include "Command.h"
#include "NxException.h"
#include "NxVersion.h"
#include "TerminalProgress.h"

#include "Download/DownloadAction.h"

#include <csignal>
#include <cstdio>
#include <string>
#include <vector>

namespace {

constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

int UsageError(const std::string& text)
{
    std::fprintf(stderr, "nxupdate-cli: %s\nTry 'nxupdate-cli --help'.\n", text.c_str());
    return kExitUsage;
}

const char* OptionName(unsigned bit)
{
    switch (bit) {
    case kOptDevice:
        return "device";
    case kOptChannel:
        return "channel";
    case kOptFile:
        return "file";
    case kOptReset:
        return "reset";
    case kOptYes:
        return "yes";
    default:
        return "json";
    }
}

// The command for this command line; raises CliUsageError.
const Command& Resolve(const CliOptions& opts)
{
    const Command* cmd = Command::Find(opts.Command);
    if (!cmd)
        throw CliUsageError(opts.Command.empty() ? "no command given"
                                                 : "unknown command '" + opts.Command + "'");
    const unsigned extra = opts.Given & ~cmd->Options();
    for (unsigned bit = 1; bit <= kOptJson; bit <<= 1)
        if (extra & bit)
            throw CliUsageError(std::string(cmd->Name()) + " does not take --" + OptionName(bit));
    cmd->Validate(opts);
    return *cmd;
}

// Ctrl-C or a kill during a .dat download must not leave the unpacked
// firmware in the temporary folder.
void OnTerminate(int sig)
{
    RemovePendingTempFiles();
    std::signal(sig, SIG_DFL);
    std::raise(sig);
}

} // namespace

int main(int argc, char** argv)
{
    for (int sig : {SIGINT, SIGTERM, SIGHUP})
        std::signal(sig, OnTerminate);
    CliOptions opts;
    const Command* cmd = nullptr;
    try {
        opts = ParseCliOptions(std::vector<std::string>(argv + 1, argv + argc));
        if (opts.Help) {
            PrintText(CliUsage());
            return 0;
        }
        if (opts.Version) {
            std::printf("nxupdate-cli %s\n", NX_VERSION);
            return 0;
        }
        cmd = &Resolve(opts);
    } catch (const CliUsageError& e) {
        return UsageError(e.what());
    }

    try {
        CliSession session(opts, cmd->OpensDevices());
        return cmd->Execute(session);
    } catch (const CliUsageError& e) {
        return UsageError(e.what());
    } catch (const std::exception& e) {
        // NxException carries the desktop program's text; anything else is
        // still a failed operation, not a crash.
        TerminalProgress::EndActiveLine();
        std::fflush(stdout);
        std::string text = e.what();
        for (size_t pos; (pos = text.find("\r\n")) != std::string::npos;)
            text.erase(pos, 1);
        std::fprintf(stderr, "%s\n", text.c_str());
        return kExitFailed;
    }
}
