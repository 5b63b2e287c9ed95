// nxsim: serves the simulator's controllers on pseudo-terminals, so that the
// real serial backend can be tried without hardware:
//   nxsim --demo &   then   NXUPDATE_PORTS=<printed path> nxupdate-cli list
#include "Appcfg.h"
#include "NxException.h"
#include "Sim/PtyServer.h"
#include "Sim/SimScenario.h"

#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>

namespace {

const char* const kUsage =
    "usage: nxsim [--demo | --scenario=FILE] [--wire-time]\n"
    "\n"
    "Serves simulated controllers on pseudo-terminals and prints the path of\n"
    "each one on its own line; runs until interrupted.\n"
    "  --demo            the built-in demo controller (the default)\n"
    "  --scenario=FILE   the bridges and controllers of a scenario file\n"
    "  --wire-time       answer at the pace of the real line (57600 bit/s)\n";

Sim::PtyServer* g_pServer = nullptr;

void OnSignal(int)
{
    if (g_pServer)
        g_pServer->RequestStop();
}

void InstallSignals()
{
    struct sigaction sa
    {
    };
    sa.sa_handler = OnSignal;
    sigemptyset(&sa.sa_mask);
    // No SA_RESTART: the server's poll must return to see the request.
    for (int sig : {SIGINT, SIGTERM, SIGHUP})
        ::sigaction(sig, &sa, nullptr);
    std::signal(SIGPIPE, SIG_IGN);
}

} // namespace

int main(int argc, char** argv)
{
    std::string scenarioFile;
    bool wireTime = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--demo")
            scenarioFile.clear();
        else if (arg.rfind("--scenario=", 0) == 0 && arg.size() > 11)
            scenarioFile = arg.substr(11);
        else if (arg == "--wire-time")
            wireTime = true;
        else if (arg == "--help" || arg == "-h") {
            std::fputs(kUsage, stdout);
            return 0;
        } else if (arg == "--version") {
            std::printf("nxsim %s\n", NX_PROGRAM_VERSION);
            return 0;
        } else {
            std::fprintf(stderr, "nxsim: unknown argument '%s'\n%s", arg.c_str(), kUsage);
            return 2;
        }
    }

    try {
        const Sim::SimScenario scenario =
            scenarioFile.empty() ? Sim::DemoScenario() : Sim::LoadScenario(scenarioFile);
        Bridge::SimBridgeLib lib;
        const auto bridges = Sim::InstallScenario(lib, scenario);
        Sim::PtyServer server(lib, wireTime);
        if (server.Ports().empty()) {
            std::fputs("nxsim: the scenario has no plugged bridge\n", stderr);
            return 1;
        }
        g_pServer = &server;
        InstallSignals();
        for (const auto& p : server.Ports()) {
            std::printf("%s\n", p.SlavePath.c_str());
            std::fprintf(stderr, "nxsim: bridge %s (%s) on %s\n", p.Device->Serial.c_str(),
                         p.Device->Description.c_str(), p.SlavePath.c_str());
        }
        std::fflush(stdout);
        server.Run();
        g_pServer = nullptr;
    } catch (const NxException& e) {
        std::fprintf(stderr, "nxsim: %s\n", e.what());
        return 1;
    }
    return 0;
}
