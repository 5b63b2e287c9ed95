// nxsim: serves the simulator's controllers on pseudo-terminals, so that the
// real serial backend can be tried without hardware:
//   nxsim --demo &   then   NXUPDATE_PORTS=<printed path> nxupdate-cli list
// With --replay it serves the device side of a communication log instead.
#include "NxException.h"
#include "NxVersion.h"
#include "Sim/PtyServer.h"
#include "Sim/SimReplayDevice.h"
#include "Sim/SimScenario.h"

#include <csignal>
#include <cstdio>
#include <cstring>
#include <sched.h>
#include <string>

namespace {

const char* const kUsage =
    "usage: nxsim [--demo | --scenario=FILE | --replay=LOG [--lenient] [--once]] [--wire-time]\n"
    "\n"
    "Serves simulated controllers on pseudo-terminals and prints the path of\n"
    "each one on its own line; runs until interrupted.\n"
    "  --demo            the built-in demo controller (the default)\n"
    "  --scenario=FILE   the bridges and controllers of a scenario file\n"
    "  --replay=LOG      the device side of a communication log (NxComLog_<n>.txt),\n"
    "                    or of every log in a folder, one terminal each: a request\n"
    "                    that differs from the recorded one is reported here, and\n"
    "                    nothing is answered from then on; the log's first request\n"
    "                    after its end (or after such a request) starts it over;\n"
    "                    the exit code is 3 when a request differed\n"
    "  --lenient         after such a request, go on at the next recorded exchange\n"
    "                    with the same request\n"
    "  --once            play the log once: never start it over\n"
    "  --wire-time       answer at the pace of the real line (57600 bit/s); with\n"
    "                    --replay, after the recorded gap between request and reply\n"
    "  -h, --help        print this help and exit\n"
    "  -V, --version     print the version and exit\n";

// A request of the program under test differed from the replayed log.
constexpr int kExitDiverged = 3;

Sim::PtyServer* g_pServer = nullptr;

void OnSignal(int)
{
    if (g_pServer)
        g_pServer->RequestStop();
}

// The line's pace is this program's work: a busy machine makes an ordinary
// process wake up to a millisecond late, and every late reply adds to the
// download it rehearses. The lowest real-time priority fixes that where the
// system grants it (root, CAP_SYS_NICE, RLIMIT_RTPRIO); nxsim sleeps between
// its few writes, so it takes nothing from the others.
void AskForThePace()
{
    sched_param p{};
    p.sched_priority = 1;
    if (::sched_setscheduler(0, SCHED_RR, &p) != 0)
        std::fputs("nxsim: no real-time priority here: on a busy machine the pace may slip\n",
                   stderr);
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
    std::string scenarioFile, replayPath;
    bool wireTime = false, lenient = false, once = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--demo")
            scenarioFile.clear();
        else if (arg.rfind("--scenario=", 0) == 0 && arg.size() > 11)
            scenarioFile = arg.substr(11);
        else if (arg.rfind("--replay=", 0) == 0 && arg.size() > 9)
            replayPath = arg.substr(9);
        else if (arg == "--lenient")
            lenient = true;
        else if (arg == "--once")
            once = true;
        else if (arg == "--wire-time")
            wireTime = true;
        else if (arg == "--help" || arg == "-h") {
            std::fputs(kUsage, stdout);
            return 0;
        } else if (arg == "--version" || arg == "-V") {
            std::printf("nxsim %s\n", NX_VERSION);
            return 0;
        } else {
            std::fprintf(stderr, "nxsim: unknown argument '%s'\n%s", arg.c_str(), kUsage);
            return 2;
        }
    }

    if (!replayPath.empty() && !scenarioFile.empty()) {
        std::fprintf(stderr, "nxsim: --replay and --scenario exclude each other\n%s", kUsage);
        return 2;
    }
    if ((lenient || once) && replayPath.empty()) {
        std::fprintf(stderr, "nxsim: --%s goes with --replay\n%s", lenient ? "lenient" : "once",
                     kUsage);
        return 2;
    }

    try {
        Bridge::SimBridgeLib lib;
        std::vector<std::shared_ptr<Sim::SimReplayDevice>> replays;
        if (!replayPath.empty()) {
            const auto report = [](const std::string& line) {
                std::fprintf(stderr, "nxsim: %s\n", line.c_str());
            };
            // Late gaps: one bridge's recorded gap must not hold up the others.
            replays = Sim::InstallReplay(lib, replayPath,
                                         {lenient, wireTime, report, /*LateGaps=*/true, !once});
        } else {
            Sim::InstallScenario(lib, scenarioFile.empty() ? Sim::DemoScenario()
                                                           : Sim::LoadScenario(scenarioFile));
        }
        // A replay keeps the recorded gaps, which hold the line's time already.
        Sim::PtyServer server(lib, wireTime && replays.empty());
        if (server.Ports().empty()) {
            std::fputs("nxsim: the scenario has no plugged bridge\n", stderr);
            return 1;
        }
        g_pServer = &server;
        InstallSignals();
        if (wireTime && replays.empty())
            AskForThePace();
        for (size_t i = 0; i < server.Ports().size(); ++i) {
            const auto& p = server.Ports()[i];
            std::printf("%s\n", p.SlavePath.c_str());
            // Replays are plugged in the order of their logs.
            const std::string extent = i < replays.size() ? ": " + replays[i]->Extent() : "";
            std::fprintf(stderr, "nxsim: bridge %s (%s) on %s%s\n", p.Device->Serial.c_str(),
                         p.Device->Description.c_str(), p.SlavePath.c_str(), extent.c_str());
        }
        std::fflush(stdout);
        server.Run();
        g_pServer = nullptr;
        bool diverged = false;
        for (const auto& r : replays) {
            const std::string run = r->Runs() > 1 ? StrFormat(" in run %zu", r->Runs()) : "";
            std::fprintf(stderr, "nxsim: %s: %zu of %zu recorded exchanges played%s\n",
                         r->Name().c_str(), r->Answered(), r->Log().Exchanges.size(), run.c_str());
            diverged = diverged || r->Diverged();
        }
        // A script tells a replay that matched from one that did not.
        if (diverged)
            return kExitDiverged;
    } catch (const NxException& e) {
        std::fprintf(stderr, "nxsim: %s\n", e.what());
        return 1;
    }
    return 0;
}
