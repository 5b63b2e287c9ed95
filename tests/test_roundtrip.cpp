// Record and replay: sessions of nxupdate-cli on the simulator, recorded with
// --comlog and replayed with --simulate=LOG (and through nxsim --replay),
// give the same output, exit code and request stream; the lines that show the
// bridge's identity are left out of the comparison. Skips when the binaries
// are not built.
#include "NxException.h"
#include "Sim/SimComLog.h"
#include "support/RunProgram.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <future>
#include <sstream>

namespace fs = std::filesystem;

namespace {

const std::string kCli = std::string(NX_BINARY_DIR) + "/nxupdate-cli";
const std::string kSim = std::string(NX_BINARY_DIR) + "/nxsim";
const std::string kExamples = std::string(NX_SOURCE_DIR) + "/examples/";

// The demo's controller with two components, and faults to inject.
std::string Scenario(const std::string& faults, bool secondBridge = false)
{
    const std::string controller =
        R"({"state": "application", "hwName": "IncuControl", "hwVersion": "2.1",
          "blName": "IncuBoot", "blVersion": "1.04", "blDate": "2019-03-12",
          "appName": "IncuControlApp", "appVersion": "4.2.0", "appDate": "2023-09-28",
          "tblName": "IncuControl", "tblVersion": "17", "tblDate": "2023-10-02",
          "channels": [
            {"channel": 1, "identifier": "0x21", "capability": 1, "appName": "GasProbe",
             "appVersion": "3.10", "serialNumber": "1330427"},
            {"channel": 2, "identifier": "0x32", "capability": 1, "appName": "Meridian",
             "appVersion": "1.8", "serialNumber": "2210058"}],
          "faults": [)" +
        faults + "]}";
    std::string bridges = R"({"serial": "0001", "controller": )" + controller + "}";
    if (secondBridge)
        bridges += R"(, {"serial": "0002", "controller": )" + controller + "}";
    return R"({"bridges": [)" + bridges + "]}";
}

// Output without the lines that show a bridge's identity ("... (#0001)").
std::string WithoutIdentity(const std::string& text)
{
    std::istringstream in(text);
    std::string out, line;
    while (std::getline(in, line))
        if (line.find("(#") == std::string::npos)
            out += line + "\n";
    return out;
}

// What the host sent, exchange by exchange, from the logs in a folder.
std::vector<std::string> Requests(const fs::path& dir)
{
    std::vector<std::string> out;
    for (const std::string& file : Sim::ComLogFilesIn(dir.string())) {
        out.push_back("file " + Sim::ComLogIndex(fs::path(file).filename().string()));
        for (const Sim::SimLogExchange& e : Sim::LoadComLog(file).Exchanges) {
            std::string r = e.CmdName + " " + std::to_string(e.TimeoutMs) + ":";
            for (uint8_t b : e.Request)
                r += " " + std::to_string(b);
            out.push_back(r + (e.WriteStatus ? " write failed" : ""));
        }
    }
    return out;
}

struct Session
{
    const char* Name;
    std::vector<std::string> Args = {};
    std::string Faults = {}; // "" and no second bridge: the built-in demo
    bool TwoBridges = false; // the folder of logs is replayed
    int Code = 0;
    const char* Failure = ""; // expected in stderr of both runs
};

class RoundTrip : public ProgramTest
{
protected:
    RoundTrip() : ProgramTest(kCli) {}

    // Runs nxupdate-cli with --comlog into a new folder of the test's own.
    RunResult Run(std::vector<std::string> args, const std::string& simulate, const fs::path& logs)
    {
        fs::create_directories(logs);
        args.push_back(simulate);
        args.push_back("--comlog=" + logs.string());
        RunOptions opts;
        opts.Env["TMPDIR"] = dir.String();
        return RunProgram(kCli, args, opts);
    }
};

} // namespace

// Every kind of session, recorded in parallel and then replayed in parallel:
// the downloads wait their protocol pauses for real.
TEST_F(RoundTrip, EverySessionReplaysToTheSameOutputExitCodeAndRequests)
{
    const std::string hex = kExamples + "incucontrol_app.hex";
    const std::string meridian = "--file=" + kExamples + "meridian.hex";
    const std::vector<Session> sessions = {
        {.Name = "list", .Args = {"list"}},
        {.Name = "info", .Args = {"info"}},
        {.Name = "info of a component", .Args = {"info", "--channel=1"}},
        {.Name = "controller download", .Args = {"download", "--file=" + hex}},
        {.Name = "component download", .Args = {"download", "--channel=2", meridian}},
        {.Name = "table update",
         .Args = {"download", "--file=" + kExamples + "incucontrol_tables.xml"}},
        {.Name = ".dat download",
         .Args = {"download", "--file=" + kExamples + "incucontrol_update.dat"}},
        {.Name = "two bridges", .Args = {"list"}, .TwoBridges = true},
        {.Name = "rejected page",
         .Args = {"download", "--file=" + hex},
         .Faults = R"({"kind": "reject", "cmd": 3, "from": 3, "count": 0, "errorByte": 5})",
         .Code = 1,
         .Failure = "Download of block #2/97 failed: Frame '0x05' error"},
        {.Name = "silent component",
         .Args = {"download", "--channel=2", meridian},
         .Faults = R"({"kind": "noReply", "cmd": 143, "channel": 2, "from": 12, "count": 0})",
         .Code = 1,
         .Failure = "Download of block #1/17 failed: Read timed out"},
        {.Name = "corrupt checksum",
         .Args = {"download", "--channel=1", "--file=" + kExamples + "gasprobe.hex"},
         .Faults = R"({"kind": "badChecksum", "cmd": 143, "channel": 1, "from": 14, "count": 0})",
         .Code = 1,
         .Failure = "Download of block #3/33 failed: Frame CRC error"},
    };

    std::vector<std::future<RunResult>> recorded, replayed;
    for (size_t i = 0; i < sessions.size(); ++i) {
        const Session& s = sessions[i];
        std::string simulate = "--simulate";
        if (!s.Faults.empty() || s.TwoBridges) {
            const fs::path scenario = dir / ("scenario" + std::to_string(i) + ".json");
            std::ofstream(scenario) << Scenario(s.Faults, s.TwoBridges);
            simulate += "=" + scenario.string();
        }
        recorded.push_back(std::async(std::launch::async, [=, this] {
            return Run(s.Args, simulate, dir / ("rec" + std::to_string(i)));
        }));
    }
    for (size_t i = 0; i < sessions.size(); ++i) {
        recorded[i].wait();
        const fs::path logs = dir / ("rec" + std::to_string(i));
        const std::string log =
            sessions[i].TwoBridges ? logs.string() : (logs / "NxComLog_0.txt").string();
        replayed.push_back(std::async(std::launch::async, [=, this] {
            return Run(sessions[i].Args, "--simulate=" + log, dir / ("rep" + std::to_string(i)));
        }));
    }

    for (size_t i = 0; i < sessions.size(); ++i) {
        const Session& s = sessions[i];
        SCOPED_TRACE(s.Name);
        const RunResult rec = recorded[i].get(), rep = replayed[i].get();
        EXPECT_EQ(rec.Code, s.Code) << rec.Err;
        EXPECT_NE(rec.Err.find(s.Failure), std::string::npos) << rec.Err;
        EXPECT_EQ(rep.Code, rec.Code) << rep.Err;
        EXPECT_EQ(WithoutIdentity(rep.Out), WithoutIdentity(rec.Out));
        EXPECT_EQ(WithoutIdentity(rep.Err), WithoutIdentity(rec.Err));
        const auto requests = Requests(dir / ("rec" + std::to_string(i)));
        EXPECT_GT(requests.size(), 10u);
        EXPECT_EQ(Requests(dir / ("rep" + std::to_string(i))), requests);
        if (s.TwoBridges) {
            EXPECT_NE(rep.Out.find("Replay NxComLog_0.txt (#replay-0)\n"), std::string::npos);
            EXPECT_NE(rep.Out.find("Replay NxComLog_1.txt (#replay-1)\n"), std::string::npos);
        }
    }
}

// The example log replays the failing download it was recorded from, and the
// example scenario still records the same requests.
TEST_F(RoundTrip, TheExampleLogReplaysItsFailingDownload)
{
    const std::vector<std::string> args = {"download", "--channel=1",
                                           "--file=" + kExamples + "gasprobe.hex"};
    auto again = std::async(std::launch::async, [&] {
        return Run(args, "--simulate=" + kExamples + "failed_download_scenario.json", dir / "rec");
    });
    const RunResult rep =
        Run(args, "--simulate=" + kExamples + "failed_download_comlog.txt", dir / "rep");
    EXPECT_EQ(rep.Code, 1);
    EXPECT_NE(rep.Err.find("Download of block #1/33 failed: Frame CRC error\n"), std::string::npos)
        << rep.Err;
    EXPECT_EQ(rep.Err.find("replay-0:"), std::string::npos) << rep.Err;
    const RunResult rec = again.get();
    EXPECT_EQ(rec.Err, rep.Err);
    fs::create_directories(dir / "example");
    fs::copy_file(kExamples + "failed_download_comlog.txt", dir / "example" / "NxComLog_0.txt");
    EXPECT_EQ(Requests(dir / "rec"), Requests(dir / "example"))
        << "re-record examples/failed_download_comlog.txt (see the README)";
}

// nxsim --replay serves the recording on a pseudo-terminal to the real serial
// backend, says how much it played, and keeps its options apart.
TEST_F(RoundTrip, NxsimReplaysALogOnAPseudoTerminal)
{
    if (::access(kSim.c_str(), X_OK) != 0)
        GTEST_SKIP() << kSim << " is not built; build the nxsim target first";
    EXPECT_EQ(RunProgram(kSim, {"--replay=x", "--scenario=y"}).Code, 2);
    EXPECT_EQ(RunProgram(kSim, {"--lenient"}).Code, 2);
    const RunResult bad = RunProgram(kSim, {"--replay=" + (dir / "none").string()});
    EXPECT_EQ(bad.Code, 1);
    EXPECT_NE(bad.Err.find("Cannot open communication log"), std::string::npos) << bad.Err;

    const RunResult rec = Run({"info"}, "--simulate", dir / "rec");
    ASSERT_EQ(rec.Code, 0) << rec.Err;
    ServerProcess sim =
        StartServer(kSim, {"--replay=" + (dir / "rec" / "NxComLog_0.txt").string()});
    ASSERT_EQ(sim.FirstLine.rfind("/dev/", 0), 0u) << "nxsim printed '" << sim.FirstLine << "'";
    RunOptions opts;
    opts.Env["NXUPDATE_PORTS"] = sim.FirstLine;
    const RunResult rep = RunProgram(kCli, {"info"}, opts);
    EXPECT_EQ(rep.Code, 0) << rep.Err;
    EXPECT_EQ(rep.Out, rec.Out);
    const RunResult served = StopServer(sim);
    EXPECT_EQ(served.Code, 0);
    const size_t n = Sim::LoadComLog((dir / "rec" / "NxComLog_0.txt").string()).Exchanges.size();
    EXPECT_NE(served.Err.find("nxsim: bridge replay-0 (Replay NxComLog_0.txt) on " + sim.FirstLine),
              std::string::npos)
        << served.Err;
    EXPECT_NE(
        served.Err.find(StrFormat("nxsim: replay-0: %zu of %zu recorded exchanges played", n, n)),
        std::string::npos)
        << served.Err;
}
