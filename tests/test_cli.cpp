// nxupdate-cli as its users run it: the built binary against the simulator
// (and, through nxsim, against the real serial backend), checking stdout,
// stderr and the exit code. Skips when the binaries are not built.
#include "Appcfg.h"
#include "Download/DownloadAction.h"
#include "FilterInfo.h"
#include "NxVersion.h"

#include "Cli/ProcessRunner.h"

#include "support/DeviceTargets.h"
#include "support/RunProgram.h"
#include "support/TempFolder.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <map>
#include <poll.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace fs = std::filesystem;
using nlohmann::json;

namespace {

const std::string kCli = std::string(NX_BINARY_DIR) + "/nxupdate-cli";
const std::string kSim = std::string(NX_BINARY_DIR) + "/nxsim";
const std::string kExamples = std::string(NX_SOURCE_DIR) + "/examples";

bool EndsWith(const std::string& s, const std::string& tail)
{
    return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

// Demo: one controller "0001" with GasProbe (1), Meridian (2) and a sensor (3).
const std::string kDemoTree = "Controller (#0001)\n"
                              "  Channel #1 (0001|21|1330427)\n"
                              "  Channel #2 (0001|32|2210058)\n"
                              "  Channel #3 (0000|40)\n";

const std::string kDemoReport =
    "Hardware     Name: IncuControl              Ver: 2.1    \n"
    "Bootloader   Name: IncuBoot                 Ver: 1.04    Date: 2019-03-12\n"
    "Application  Name: IncuControlApp           Ver: 4.2.0   Date: 2023-09-28\n"
    "ParamTables  Name: IncuControl              Ver: 17      Date: 2023-10-02\n";

const std::string kDemoFilter = "      Current Runtime:   1234.5 h\n"
                                "Last Filter Change at:   1000.0 h\n"
                                "Next filter change at:   1500.0 h\n"
                                "            Time used:    234.5 h\n"
                                "            Time left:    265.5 h\n";

std::string Controller(const std::string& serial, const std::string& hwName, const char* state)
{
    return R"({"serial": ")" + serial + R"(", "controller": {"state": ")" + state +
           R"(", "hwName": ")" + hwName +
           R"(", "hwVersion": "2.1", "blName": "IncuBoot", "blVersion": "1.04",
           "blDate": "2019-03-12", "appName": "IncuControlApp", "appVersion": "4.2.0",
           "appDate": "2023-09-28", "tblName": "IncuControl", "tblVersion": "17",
           "tblDate": "2023-10-02"}})";
}

class CliTest : public ProgramTest
{
protected:
    CliTest() : ProgramTest(kCli) {}

    // A scenario file in the test's folder.
    std::string Scenario(const std::string& name, const std::string& bridges)
    {
        const fs::path p = dir / name;
        std::ofstream(p) << R"({"bridges": [)" << bridges << "]}";
        return p.string();
    }
};

// ---- list, info, filter, reset on the demo ----

TEST_F(CliTest, ListPrintsTheTreeAndItsJson)
{
    RunResult r = RunProgram(kCli, {"list", "--simulate"});
    EXPECT_EQ(r.Code, 0) << r.Err;
    EXPECT_EQ(r.Out, kDemoTree);
    EXPECT_EQ(r.Err, "");

    r = RunProgram(kCli, {"--simulate", "--json", "list"}); // options before the command
    ASSERT_EQ(r.Code, 0) << r.Err;
    const json doc = json::parse(r.Out);
    ASSERT_EQ(doc["devices"].size(), 1u);
    const json& dev = doc["devices"][0];
    EXPECT_EQ(dev["serial"], "0001");
    EXPECT_EQ(dev["name"], "Controller (#0001)");
    EXPECT_EQ(dev["vid"], "10C4");
    EXPECT_EQ(dev["pid"], "EA60");
    EXPECT_EQ(dev["state"], "application");
    EXPECT_EQ(doc["errors"], json::array());
    ASSERT_EQ(dev["channels"].size(), 3u);
    const json& gas = dev["channels"][0];
    EXPECT_EQ(gas["channel"], 1);
    EXPECT_EQ(gas["label"], "Channel #1 (0001|21|1330427)");
    EXPECT_EQ(gas["identifier"], 0x21);
    EXPECT_EQ(gas["serialNumber"], "1330427");
    EXPECT_EQ(gas["canDownload"], true);
    EXPECT_EQ(gas["canResetFilter"], true);
    const json& sensor = dev["channels"][2];
    EXPECT_EQ(sensor["canDownload"], false);
    EXPECT_EQ(sensor["canResetFilter"], false);
    EXPECT_EQ(sensor["serialNumber"], "");
}

TEST_F(CliTest, InfoPrintsTheReportOfControllerAndComponent)
{
    RunResult r = RunProgram(kCli, {"info", "--simulate"});
    EXPECT_EQ(r.Code, 0) << r.Err;
    EXPECT_EQ(r.Out, kDemoReport);

    // A component reports no hardware name and no tables.
    r = RunProgram(kCli, {"info", "--simulate", "--channel=2"});
    EXPECT_EQ(r.Code, 0) << r.Err;
    EXPECT_EQ(r.Out, "Hardware     Name:                          Ver: C      \n"
                     "Bootloader   Name: MeriBoot                 Ver: 2.0     Date: 2020-07-30\n"
                     "Application  Name: Meridian                 Ver: 1.8     Date: 2021-02-09\n");

    r = RunProgram(kCli, {"info", "--simulate", "--json"});
    ASSERT_EQ(r.Code, 0) << r.Err;
    json doc = json::parse(r.Out);
    EXPECT_EQ(doc["serial"], "0001");
    EXPECT_EQ(doc["channel"], 0);
    EXPECT_EQ(doc["state"], "application");
    EXPECT_EQ(doc["hardware"]["name"], "IncuControl");
    EXPECT_EQ(doc["bootloader"]["date"], "2019-03-12");
    EXPECT_EQ(doc["application"]["version"], "4.2.0");
    EXPECT_EQ(doc["paramTables"]["name"], "IncuControl");

    r = RunProgram(kCli, {"info", "--simulate", "--channel=1", "--json"});
    ASSERT_EQ(r.Code, 0) << r.Err;
    doc = json::parse(r.Out);
    EXPECT_EQ(doc["application"]["name"], "GasProbe");
    EXPECT_FALSE(doc.contains("paramTables"));
}

TEST_F(CliTest, InfoOfAControllerInItsBootloaderHasTwoLines)
{
    const std::string sc = Scenario("boot.json", Controller("0001", "IncuControl", "bootloader"));
    RunResult r = RunProgram(kCli, {"info", "--simulate=" + sc});
    EXPECT_EQ(r.Code, 0) << r.Err;
    EXPECT_EQ(r.Out, kDemoReport.substr(0, kDemoReport.find("Application")));

    r = RunProgram(kCli, {"info", "--json", "--simulate=" + sc});
    ASSERT_EQ(r.Code, 0) << r.Err;
    json doc = json::parse(r.Out);
    EXPECT_EQ(doc["state"], "bootloader");
    EXPECT_FALSE(doc.contains("application"));
    EXPECT_FALSE(doc.contains("paramTables"));
    EXPECT_EQ(doc["errors"], json::array());

    r = RunProgram(kCli, {"list", "--json", "--simulate=" + sc});
    ASSERT_EQ(r.Code, 0) << r.Err;
    doc = json::parse(r.Out);
    EXPECT_EQ(doc["devices"][0]["state"], "bootloader");
}

TEST_F(CliTest, FilterPrintsTheCountersAsTextAndJson)
{
    RunResult r = RunProgram(kCli, {"filter", "--simulate", "--channel=1"});
    EXPECT_EQ(r.Code, 0) << r.Err;
    EXPECT_EQ(r.Out, kDemoFilter);

    r = RunProgram(kCli, {"filter", "--simulate", "--channel=1", "--json"});
    ASSERT_EQ(r.Code, 0) << r.Err;
    const json doc = json::parse(r.Out);
    EXPECT_EQ(doc["runtime"]["tenths"], 12345);
    EXPECT_EQ(doc["runtime"]["hours"], 1234.5);
    EXPECT_EQ(doc["lastChange"]["tenths"], 10000);
    EXPECT_EQ(doc["interval"]["tenths"], 5000);
    EXPECT_EQ(doc["nextChange"]["hours"], 1500.0);
    EXPECT_EQ(doc["timeUsed"]["hours"], 234.5);
    EXPECT_EQ(doc["timeLeft"]["tenths"], 2655);
    EXPECT_EQ(doc["reset"], false);
    EXPECT_EQ(doc["errors"], json::array());
}

// After the reset the component reports the last change at the current runtime.
const std::string kFilterAfterReset = "      Current Runtime:   1234.5 h\n"
                                      "Last Filter Change at:   1234.5 h\n"
                                      "Next filter change at:   1734.5 h\n"
                                      "            Time used:      0.0 h\n"
                                      "            Time left:    500.0 h\n";

TEST_F(CliTest, FilterResetWithYesResetsWithoutAsking)
{
    RunResult r = RunProgram(kCli, {"filter", "--simulate", "--channel=1", "--reset", "--yes"});
    EXPECT_EQ(r.Code, 0) << r.Err;
    EXPECT_EQ(r.Out, kFilterAfterReset + kFilterResetDone + "\n");

    r = RunProgram(kCli, {"filter", "--simulate", "--channel=1", "--reset", "--yes", "--json"});
    ASSERT_EQ(r.Code, 0) << r.Err;
    const json doc = json::parse(r.Out);
    EXPECT_EQ(doc["reset"], true);
    EXPECT_EQ(doc["lastChange"]["tenths"], 12345);
    EXPECT_EQ(doc["timeLeft"]["hours"], 500.0);
}

TEST_F(CliTest, FilterResetWithoutTerminalAndWithoutYesRefuses)
{
    const RunResult r = RunProgram(kCli, {"filter", "--simulate", "--channel=1", "--reset"});
    EXPECT_EQ(r.Code, 2);
    EXPECT_EQ(r.Out, "");
    EXPECT_NE(r.Err.find("--yes"), std::string::npos) << r.Err;
}

// The question is asked on the terminal; only a yes resets.
TEST_F(CliTest, FilterResetAsksOnTheTerminal)
{
    for (const std::string answer : {"y\n", "n\n"}) {
        const int master = ::posix_openpt(O_RDWR | O_NOCTTY);
        ASSERT_GE(master, 0);
        ASSERT_EQ(::grantpt(master), 0);
        ASSERT_EQ(::unlockpt(master), 0);
        const int slave = ::open(::ptsname(master), O_RDWR | O_NOCTTY);
        ASSERT_GE(slave, 0);
        ASSERT_EQ(::write(master, answer.data(), answer.size()), ssize_t(answer.size()));
        RunOptions opts;
        opts.Stdin = slave;
        const RunResult r =
            RunProgram(kCli, {"filter", "--simulate", "--channel=1", "--reset"}, opts);
        ::close(slave);
        ::close(master);

        EXPECT_NE(r.Err.find(kDemoFilter), std::string::npos) << r.Err;
        EXPECT_NE(r.Err.find(kFilterQuestion), std::string::npos) << r.Err;
        if (answer == "y\n") {
            EXPECT_EQ(r.Code, 0) << r.Err;
            EXPECT_EQ(r.Out, kFilterAfterReset + kFilterResetDone + "\n");
        } else {
            EXPECT_EQ(r.Code, 1);
            EXPECT_EQ(r.Out, "");
            EXPECT_TRUE(EndsWith(r.Err, "has not been reset.\n")) << r.Err;
        }
    }
}

TEST_F(CliTest, FilterResetOnlyWhereTheDesktopProgramOffersIt)
{
    // Meridian's serial number starts with 221: no filter counter reset.
    const RunResult r =
        RunProgram(kCli, {"filter", "--simulate", "--channel=2", "--reset", "--yes"});
    EXPECT_EQ(r.Code, 1);
    EXPECT_EQ(r.Out, "");
    EXPECT_EQ(r.Err, "The filter change counter of the component on channel 2 cannot be reset\n");
}

TEST_F(CliTest, ResetRestartsControllerAndComponentQuietly)
{
    for (const char* ch : {"--channel=0", "--channel=1"}) {
        const RunResult r = RunProgram(kCli, {"reset", "--simulate", ch});
        EXPECT_EQ(r.Code, 0) << ch << ": " << r.Err;
        EXPECT_EQ(r.Out, "") << ch;
    }
    // Like info and download, it runs on several devices.
    EXPECT_EQ(RunProgram(kCli, {"reset", "--simulate", "--device=all"}).Code, 0);
}

// ---- targets ----

TEST_F(CliTest, TargetSelectionNamesWhatWasFound)
{
    const std::string two =
        Scenario("two.json", Controller("0001", "IncuControl", "application") + "," +
                                 Controller("0002", "Second", "application"));
    const std::string none = Scenario("none.json", "");
    struct Case
    {
        std::vector<std::string> Args;
        int Code;
        std::vector<std::string> ErrParts; // in stderr, in this order
    };
    const Case cases[] = {
        {{"info", "--simulate=" + two},
         1,
         {"Several controllers found; choose one with --device=SERIAL:",
          "\n  0001  Controller (#0001)", "\n  0002  Controller (#0002)\n"}},
        {{"info", "--simulate=" + two, "--device=0009"},
         1,
         {"Device '0009' not found\nControllers found:", "\n  0001  Controller (#0001)",
          "\n  0002  Controller (#0002)\n"}},
        {{"filter", "--simulate=" + two, "--channel=1"}, 1, {"Several controllers found"}},
        {{"info", "--simulate=" + none}, 1, {"No controller found."}},
        {{"download", "--simulate=" + none, "--file=x.hex"}, 1, {"No controller found."}},
        {{"info", "--simulate=" + none, "--device=0001"},
         1,
         {"Device '0001' not found\nNo controller found.\n"}},
        {{"info", "--simulate", "--channel=4"}, 1, {"Invalid channel for device '0001'\n"}},
        {{"reset", "--simulate", "--channel=4"}, 1, {"Invalid channel for device '0001'\n"}},
        {{"info", "--simulate=" + (dir / "missing.json").string()}, 1, {"missing.json"}},
    };
    for (const Case& c : cases) {
        const RunResult r = RunProgram(kCli, c.Args);
        const std::string what = c.Args[0] + " " + c.Args[1];
        EXPECT_EQ(r.Code, c.Code) << what << ": " << r.Err;
        EXPECT_EQ(r.Out, "") << what;
        size_t pos = 0;
        for (const std::string& part : c.ErrParts) {
            pos = r.Err.find(part, pos);
            EXPECT_NE(pos, std::string::npos) << what << ": '" << part << "' in " << r.Err;
        }
    }

    // --device picks one of several; list needs no target.
    RunResult r = RunProgram(kCli, {"info", "--simulate=" + two, "--device=0002"});
    EXPECT_EQ(r.Code, 0) << r.Err;
    EXPECT_EQ(r.Out.rfind("Hardware     Name: Second ", 0), 0u) << r.Out;
    r = RunProgram(kCli, {"list", "--simulate=" + two});
    EXPECT_EQ(r.Code, 0) << r.Err;
    EXPECT_EQ(r.Out, "Controller (#0001)\nController (#0002)\n");
    r = RunProgram(kCli, {"list", "--simulate=" + none});
    EXPECT_EQ(r.Code, 0) << r.Err;
    EXPECT_EQ(r.Out, "");
    r = RunProgram(kCli, {"list", "--simulate=" + none, "--json"});
    EXPECT_EQ(json::parse(r.Out), json::parse(R"({"devices": [], "errors": [], "unserved": []})"));
}

// A bridge pulled out during a command: one more line after the message; a
// controller that only stays silent gets none.
TEST_F(CliTest, LostBridgeSaysWhatToDo)
{
    for (const std::string kind : {"unplug", "noReply"}) {
        const std::string sc =
            Scenario(kind + ".json", R"({"serial": "0001", "controller": {"faults": [{"kind": ")" +
                                         kind + R"(", "cmd": 4}]}})");
        const RunResult r = RunProgram(kCli, {"info", "--simulate=" + sc});
        EXPECT_EQ(r.Code, 1) << kind;
        EXPECT_EQ(r.Err, kind == "unplug" ? "'GetHwName' failed: Device IO Failed\n"
                                            "The bridge was disconnected: unplug it for two "
                                            "seconds and plug it in again.\n"
                                          : "'GetHwName' failed: Read timed out\n");
    }
}

// ---- usage ----

TEST_F(CliTest, UsageErrorsExitWithTwoBeforeTouchingAnything)
{
    const std::string noSuch = (fs::path(NX_BINARY_DIR) / "no-such-folder").string();
    const std::string needsChannel =
        "filter needs the component's channel: --channel=N with N from 1";
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {{}, "no command given"},
        {{"frobnicate"}, "unknown command 'frobnicate'"},
        {{"list", "info"}, "unexpected argument 'info'"},
        {{"list", "--verbose"}, "unknown option '--verbose'"},
        {{"list", "-x"}, "unknown option '-x'"},
        {{"list", "--device=0001"}, "list shows every controller: it takes no --device"},
        {{"list", "--json=yes"}, "--json takes no value"},
        {{"info", "--channel=abc"}, "--channel needs a number from 0 to 255, not 'abc'"},
        {{"info", "--channel=256"}, "--channel needs a number from 0 to 255, not '256'"},
        {{"info", "--channel=-1"}, "--channel needs a number from 0 to 255, not '-1'"},
        {{"info", "--channel="}, "--channel needs a value (--channel=...)"},
        {{"info", "--device"}, "--device needs a value (--device=...)"},
        {{"info", "--file=a.hex"}, "info does not take --file"},
        {{"info", "--channel=1", "--channel=2"}, "--channel is given twice"},
        {{"download"}, "download needs --file=PATH"},
        {{"download", "--file=a.hex", "--json"},
         "download prints JSON for several devices only (--device=all or a list)"},
        {{"info", "--dry-run"}, "info does not take --dry-run"},
        {{"download", "--file=a.hex", "--dry-run=yes"}, "--dry-run takes no value"},
        {{"inspect"}, "inspect needs --file=PATH"},
        // Of several options the command does not take, the first declared is named.
        {{"inspect", "--events", "--file=a.hex", "--device=0001"},
         "inspect does not take --device"},
        {{"reset", "--json"},
         "reset prints JSON for several devices only (--device=all or a list)"},
        {{"filter", "--channel=1", "--device=all"},
         "filter works on one device at a time: --device=SERIAL"},
        {{"info", "--device=A,,B"}, "--device: an empty serial number in 'A,,B'"},
        {{"info", "--device=A,B,A"}, "--device names 'A' twice"},
        {{"info", "--device=all", "--events"},
         "--events goes with one device; with several, --json gives the events"},
        {{"filter"}, needsChannel},
        {{"filter", "--channel=0"}, needsChannel},
        {{"filter", "--channel=1", "--yes"}, "--yes belongs to --reset"},
        {{"reset", "--reset"}, "reset does not take --reset"},
        {{"list", "--comlog=" + noSuch}, "--comlog: '" + noSuch + "' is not a folder"},
    };
    for (auto [args, message] : cases) {
        args.push_back("--simulate");
        const RunResult r = RunProgram(kCli, args);
        std::string what;
        for (const auto& a : args)
            what += a + " ";
        EXPECT_EQ(r.Code, 2) << what << ": " << r.Err;
        EXPECT_EQ(r.Out, "") << what;
        EXPECT_EQ(r.Err, "nxupdate-cli: " + message + "\nTry 'nxupdate-cli --help'.\n") << what;
    }
}

TEST_F(CliTest, HelpShowsTheInterfaceAndVersionTheProgramVersion)
{
    RunResult r = RunProgram(kCli, {"--help"});
    EXPECT_EQ(r.Code, 0);
    for (const char* line :
         {"  nxupdate-cli list\n",
          "  nxupdate-cli info     [--device=SERIAL,...|all] [--expect=N] [--jobs=N] "
          "[--channel=N]\n",
          "  nxupdate-cli download --file=PATH [--device=SERIAL,...|all] [--expect=N] [--jobs=N] "
          "[--channel=N] [--dry-run]\n",
          "  nxupdate-cli inspect  --file=PATH [--channel=N]\n",
          "  nxupdate-cli filter   --channel=N [--device=SERIAL] [--reset [--yes]]\n",
          "  nxupdate-cli reset    [--device=SERIAL,...|all] [--expect=N] [--jobs=N] "
          "[--channel=N]\n",
          "common options: --simulate[=FILE]  --comlog[=DIR]  --history=PATH|off  --json  --help  "
          "--version\n",
          "  --device=SERIAL   the controller's bridge serial number or port (needed when\n"
          "                    several are attached)\n"
          "  --device=A,B,...  info, download, reset: on every listed controller at once,\n",
          "  --jobs=N          with several devices: at most N at once (default: all)\n",
          "  --simulate[=FILE] run on the simulator: the demo, or a scenario file; a\n",
          "  -h, --help        print this help and exit\n"})
        EXPECT_NE(r.Out.find(line), std::string::npos) << line;

    // GNU form, without the caption's "v"; -h and -V are the short forms.
    EXPECT_EQ(RunProgram(kCli, {"-h"}).Out, r.Out);
    for (const char* arg : {"--version", "-V"}) {
        r = RunProgram(kCli, {arg});
        EXPECT_EQ(r.Code, 0) << arg;
        EXPECT_EQ(r.Out, "nxupdate-cli " NX_VERSION "\n") << arg;
    }
}

// ---- download ----

TEST_F(CliTest, DownloadRefusalsCarryTheDesktopProgramsMessages)
{
    const std::string tables = kExamples + "/incucontrol_tables.xml";
    const std::string gas = kExamples + "/gasprobe.hex";
    struct Case
    {
        std::vector<std::string> Args;
        std::string Message;
    };
    const Case cases[] = {
        {{"--file=" + (dir / "notes.txt").string()}, "Invalid download file"},
        {{"--file=" + gas, "--channel=4"}, "Invalid channel for device '0001'"},
        {{"--file=" + tables, "--channel=1"}, "File not supported in SerialMode"},
        {{"--file=" + gas, "--channel=3"}, "The component on channel 3 cannot be downloaded"},
        // Meridian runs its application and rejects a GasProbe image.
        {{"--file=" + gas, "--channel=2"},
         "Invalid download file for this device (Device='Meridian' File='GasProbe')"},
    };
    for (const Case& c : cases) {
        std::vector<std::string> args = {"download", "--simulate"};
        args.insert(args.end(), c.Args.begin(), c.Args.end());
        const RunResult r = RunProgram(kCli, args);
        EXPECT_EQ(r.Code, 1) << c.Message << ": " << r.Err;
        EXPECT_EQ(r.Out, "") << c.Message;
        EXPECT_TRUE(EndsWith(r.Err, c.Message + "\n")) << c.Message << ": " << r.Err;
    }
}

// The demo .dat (firmware and tables) into a controller that waits in its
// bootloader, which spares the five-second pause before programming.
TEST_F(CliTest, DownloadOfTheDemoDatReportsEveryStepOnStderr)
{
    const std::string sc = Scenario("boot.json", Controller("0001", "IncuControl", "bootloader"));
    const RunResult r = RunProgram(
        kCli, {"download", "--simulate=" + sc, "--file=" + kExamples + "/incucontrol_update.dat"});
    EXPECT_EQ(r.Code, 0) << r.Err;
    EXPECT_EQ(r.Out, "Download finished successfully\n");
    // stderr is a pipe: one line per status change, no bar.
    EXPECT_EQ(r.Err.find('\r'), std::string::npos);
    size_t pos = 0;
    for (const char* part : {"Clear flash\n", "Block: 1/97 - Address: 0xC00000 - Progress: 1%\n",
                             "Block: 2/97 - Address: 0xC00080 - Progress: 2%\n",
                             "Block: 97/97 - Address: 0xC08000 - Progress: 100%\n", "Checksum: 0x",
                             "Reset to Application ...\n"}) {
        pos = r.Err.find(part, pos);
        EXPECT_NE(pos, std::string::npos) << part << " in\n" << r.Err;
    }
}

// A Meridian image stores its name in 16-bit units and is repacked to
// 256-byte blocks: four pages each.
TEST_F(CliTest, DownloadOfAComponentImage)
{
    const RunResult r = RunProgram(
        kCli, {"download", "--simulate", "--channel=2", "--file=" + kExamples + "/meridian.hex"});
    EXPECT_EQ(r.Code, 0) << r.Err;
    EXPECT_EQ(r.Out, "Download finished successfully\n");
    EXPECT_NE(r.Err.find("Block: 1/68 - Address: 0x000000 - Progress: 1%\n"), std::string::npos)
        << r.Err;
    EXPECT_NE(r.Err.find("Block: 68/68 - Address: 0x00EF00 - Progress: 100%\n"), std::string::npos)
        << r.Err;
}

// ---- inspect and the dry run ----

// Without --simulate and without devices: inspect needs none.
TEST_F(CliTest, InspectPrintsEveryExampleAndProfileFileAsTextAndJson)
{
    struct Case
    {
        std::string File;
        std::string Target;
        size_t Blocks; // 0: tables only
    };
    std::vector<Case> cases = {
        {kExamples + "/incucontrol_app.hex", "controller application 'IncuControlApp'", 97},
        {kExamples + "/incucontrol_update.dat", "controller application 'IncuControlApp'", 97},
        {kExamples + "/incucontrol_tables.xml", "controller hardware 'IncuControl'", 0},
        {kExamples + "/gasprobe.hex", "component 'GasProbe'", 33},
        {kExamples + "/meridian.hex", "component 'Meridian'", 17},
    };
    for (const DeviceProfile* r = kDeviceProfiles; r->IdentityAddress; ++r) {
        const fs::path file = dir / (std::string(r->ModelName) + ".hex");
        std::ofstream(file) << HexText(ComponentImage(*r, r->ModelName));
        // The code's blocks and the name's, at the model's block size.
        cases.push_back({file.string(), std::string("component '") + r->ModelName + "'",
                         (r->BlockSize == 128 ? 3u : 2u) + 1});
    }
    for (const Case& c : cases) {
        SCOPED_TRACE(c.File);
        RunResult r = RunProgram(kCli, {"inspect", "--file=" + c.File});
        EXPECT_EQ(r.Code, 0) << r.Err;
        EXPECT_EQ(r.Err, "");
        EXPECT_NE(r.Out.find("\nFor:           " + c.Target + "\n"), std::string::npos) << r.Out;
        EXPECT_NE(r.Out.find("\nDownload time: at least "), std::string::npos) << r.Out;

        r = RunProgram(kCli, {"inspect", "--file=" + c.File, "--json"});
        EXPECT_EQ(r.Code, 0) << r.Err;
        const json doc = json::parse(r.Out);
        EXPECT_EQ(doc["target"], c.Target);
        EXPECT_EQ(doc.contains("firmware") ? doc["firmware"]["blocks"].get<size_t>() : 0, c.Blocks);
        EXPECT_EQ(doc.contains("tables"), EndsWith(c.File, ".xml") || EndsWith(c.File, ".dat"));
        EXPECT_GT(doc["leastTime"]["inApplicationMs"], 0);
    }
}

TEST_F(CliTest, InspectOfABadFileExitsOneWithTheDownloadsMessage)
{
    const std::string bad = (dir / "bad.hex").string();
    std::ofstream(bad) << ":00000001FF\n";
    const RunResult r = RunProgram(kCli, {"inspect", "--file=" + bad, "--json"});
    EXPECT_EQ(r.Code, 1);
    EXPECT_EQ(r.Out, "");
    EXPECT_EQ(r.Err, "Open download file first\n");
}

TEST_F(CliTest, DryRunPrintsTheVerdictOrTheDownloadsFailure)
{
    RunResult r = RunProgram(kCli, {"download", "--simulate", "--dry-run",
                                    "--file=" + kExamples + "/incucontrol_update.dat"});
    EXPECT_EQ(r.Code, 0) << r.Err;
    EXPECT_EQ(r.Out.rfind("would download 97 blocks into controller 0001 (IncuControlApp) and "
                          "then write the parameter tables 'IncuControl' version 18",
                          0),
              0u)
        << r.Out;
    EXPECT_TRUE(EndsWith(r.Out, ", at least 9.5 s\n")) << r.Out;

    r = RunProgram(kCli, {"download", "--simulate", "--dry-run", "--channel=2",
                          "--file=" + kExamples + "/gasprobe.hex"});
    EXPECT_EQ(r.Code, 1);
    EXPECT_EQ(r.Out, "");
    EXPECT_TRUE(EndsWith(
        r.Err, "Invalid download file for this device (Device='Meridian' File='GasProbe')\n"))
        << r.Err;
}

// ---- communication log ----

TEST_F(CliTest, ComLogWritesSendAndRespLinesWhereAsked)
{
    // Into the named folder.
    const fs::path logs = dir / "logs";
    fs::create_directory(logs);
    RunResult r = RunProgram(kCli, {"list", "--simulate", "--comlog=" + logs.string()});
    ASSERT_EQ(r.Code, 0) << r.Err;
    const std::string log = ReadFile(logs / "NxComLog_0.txt");
    EXPECT_NE(log.find("--- SEND: CmdNr=20; CmdName='DeviceStatus'; Timeout=100"),
              std::string::npos)
        << log;
    EXPECT_NE(log.find("--- RESP: OK: CmdNr=20"), std::string::npos);
    EXPECT_NE(log.find("CmdName='ProbeChannel'"), std::string::npos);

    // Without a folder: the parent of the working directory.
    const fs::path work = dir / "work";
    fs::create_directory(work);
    RunOptions opts;
    opts.Cwd = work.string();
    r = RunProgram(kCli, {"info", "--simulate", "--comlog"}, opts);
    ASSERT_EQ(r.Code, 0) << r.Err;
    EXPECT_NE(ReadFile(dir / "NxComLog_0.txt").find("CmdName='GetAppName'"), std::string::npos);

    // Off unless asked.
    fs::remove(dir / "NxComLog_0.txt");
    r = RunProgram(kCli, {"info", "--simulate"}, opts);
    ASSERT_EQ(r.Code, 0) << r.Err;
    EXPECT_FALSE(fs::exists(dir / "NxComLog_0.txt"));
}

// ---- the real serial backend against nxsim ----

TEST_F(CliTest, ListAndInfoThroughTheSerialBackendAgainstNxsim)
{
    if (::access(kSim.c_str(), X_OK) != 0)
        GTEST_SKIP() << kSim << " is not built; build the nxsim target first";
    EXPECT_EQ(RunProgram(kSim, {"--bogus"}).Code, 2);

    ServerProcess sim = StartServer(kSim, {"--demo"});
    const std::string path = sim.FirstLine;
    ASSERT_EQ(path.rfind("/dev/", 0), 0u) << "nxsim printed '" << path << "'";

    RunOptions opts;
    opts.Env["NXUPDATE_PORTS"] = path;
    RunResult r = RunProgram(kCli, {"list"}, opts);
    EXPECT_EQ(r.Code, 0) << r.Err;
    EXPECT_EQ(r.Out, "Serial port (#" + path + ")\n" + kDemoTree.substr(kDemoTree.find('\n') + 1));

    r = RunProgram(kCli, {"info", "--device=" + path}, opts);
    EXPECT_EQ(r.Code, 0) << r.Err;
    EXPECT_EQ(r.Out, kDemoReport);

    EXPECT_EQ(StopServer(sim).Code, 0);
}

// Through nxsim, three bridges are probed each in a process of its own: the
// output keeps their order, and one that another program holds is named as
// in one process (exit code 1, the message, the JSON's "errors").
TEST_F(CliTest, ListProbesTheBridgesAtOnceInTheirOrder)
{
    if (::access(kSim.c_str(), X_OK) != 0)
        GTEST_SKIP() << kSim << " is not built; build the nxsim target first";
    const std::string sc =
        Scenario("three.json", Controller("A1", "IncuControl", "application") + "," +
                                   Controller("B2", "IncuControl", "bootloader") + "," +
                                   Controller("C3", "IncuControl", "application"));
    ServerProcess sim = StartServer(kSim, {"--scenario=" + sc}, 3);
    const ServerStopper stopper{sim};
    const std::vector<std::string> ports = sim.Lines;
    ASSERT_EQ(ports.size(), 3u) << "nxsim printed no paths";
    RunOptions opts;
    opts.Env["NXUPDATE_PORTS"] = PortList(ports);
    RunResult r = RunProgram(kCli, {"list"}, opts);
    EXPECT_EQ(r.Code, 0) << r.Err;
    EXPECT_EQ(r.Out, "Serial port (#" + ports[0] + ")\nSerial port (#" + ports[1] +
                         ")\nSerial port (#" + ports[2] + ")\n");

    const int held = ::open(ports[1].c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(held, 0);
    ASSERT_EQ(::flock(held, LOCK_EX | LOCK_NB), 0);
    r = RunProgram(kCli, {"list", "--json"}, opts);
    ::close(held);
    EXPECT_EQ(r.Code, 1) << r.Err;
    EXPECT_NE(r.Err.find("NxDevList: TNxDev::Open() failed: "), std::string::npos) << r.Err;
    const json doc = json::parse(r.Out);
    ASSERT_EQ(doc["devices"].size(), 2u) << r.Out;
    EXPECT_EQ(doc["devices"][0]["serial"], ports[0]);
    EXPECT_EQ(doc["devices"][1]["serial"], ports[2]);
    ASSERT_EQ(doc["errors"].size(), 1u) << r.Out;
    EXPECT_EQ(doc["errors"][0]["port"], ports[1]);
}

// ---- several devices at once ----

// The lines of text, without their ends.
std::vector<std::string> Lines(const std::string& text)
{
    std::vector<std::string> lines;
    size_t begin = 0;
    for (size_t nl; (nl = text.find('\n', begin)) != std::string::npos; begin = nl + 1)
        lines.push_back(text.substr(begin, nl - begin));
    return lines;
}

// The summary row of a device: its line and the one after it.
std::string Row(const std::string& out, const std::string& device)
{
    const size_t at = out.find("\n" + device + " ");
    if (at == std::string::npos)
        return "<no row for " + device + ">";
    const size_t end = out.find('\n', out.find('\n', at + 1) + 1);
    return out.substr(at + 1, end - at - 1);
}

bool Has(const std::string& text, const std::string& part)
{
    return text.find(part) != std::string::npos;
}

// Three controllers at once: one takes the file, one runs another application
// (the file is wrong for it), one is unplugged during its download. In
// process and through the serial backend against nxsim.
TEST_F(CliTest, SeveralDevicesEachFailAloneAndTheSummarySaysWhich)
{
    std::string wrong = Controller("B2", "IncuControl", "application");
    wrong.replace(wrong.find("IncuControlApp"), 14, "OtherApp");
    std::string unplugged = Controller("C3", "IncuControl", "bootloader");
    unplugged.insert(unplugged.size() - 2,
                     R"(, "faults": [{"kind": "unplug", "cmd": 3, "from": 20}])");
    const std::string sc = Scenario("three.json", Controller("A1", "IncuControl", "bootloader") +
                                                      "," + wrong + "," + unplugged);
    const fs::path tmp = dir / "tmp";
    fs::create_directory(tmp);
    RunOptions opts;
    opts.Env["TMPDIR"] = tmp.string();
    const std::vector<std::string> args = {"download", "--device=all",
                                           "--file=" + kExamples + "/incucontrol_update.dat"};

    for (const bool viaNxsim : {false, true}) {
        SCOPED_TRACE(viaNxsim ? "nxsim" : "--simulate");
        std::vector<std::string> devices = {"A1", "B2", "C3"}, a = args;
        ServerProcess sim;
        const ServerStopper stopper{sim};
        if (viaNxsim) {
            if (::access(kSim.c_str(), X_OK) != 0)
                GTEST_SKIP() << kSim << " is not built; build the nxsim target first";
            sim = StartServer(kSim, {"--scenario=" + sc}, 3);
            ASSERT_EQ(sim.Lines.size(), 3u) << "nxsim printed no paths";
            devices = sim.Lines;
            opts.Env["NXUPDATE_PORTS"] = PortList(devices);
        } else {
            a.push_back("--simulate=" + sc);
        }
        const RunResult r = RunProgram(kCli, a, opts);
        EXPECT_EQ(r.Code, 1) << r.Err;
        EXPECT_TRUE(Has(Row(r.Out, devices[0]), " done ")) << r.Out;
        EXPECT_TRUE(Has(Row(r.Out, devices[0]), " 0x")) << r.Out;
        EXPECT_TRUE(Has(Row(r.Out, devices[1]), " failed ")) << r.Out;
        EXPECT_TRUE(Has(Row(r.Out, devices[1]), "Invalid download file for this device\n"))
            << r.Out;
        EXPECT_TRUE(
            Has(Row(r.Out, devices[2]), "Download of block #19/97 failed: Device IO Failed"))
            << r.Out;
        EXPECT_TRUE(Has(Row(r.Out, devices[2]), LeftInBootloaderText(0))) << r.Out;
        EXPECT_TRUE(EndsWith(r.Out, "\n1 of 3 succeeded\n")) << r.Out;
        // Without a terminal: a line per status change, the serial number first.
        for (const std::string& line : {devices[0] + ": Clear flash\n", devices[0] + ": done\n",
                                        devices[1] + ": failed\n", devices[2] + ": failed\n"})
            EXPECT_TRUE(Has(r.Err, line)) << line << " in\n" << r.Err;
        EXPECT_TRUE(fs::is_empty(tmp));
        if (viaNxsim)
            break;

        // A dry run tells each device's verdict and writes nothing.
        std::vector<std::string> dry = a;
        dry.push_back("--dry-run");
        const RunResult d = RunProgram(kCli, dry, opts);
        EXPECT_EQ(d.Code, 1) << d.Err;
        EXPECT_TRUE(Has(d.Out, "A1:\n  would download 97 blocks into controller A1")) << d.Out;
        EXPECT_TRUE(Has(Row(d.Out, "B2"), "Invalid download file for this device")) << d.Out;
        EXPECT_TRUE(Has(Row(d.Out, "C3"), " done ")) << d.Out; // nothing sent, nothing cut

        // The same run as JSON lines, a summary last.
        a.push_back("--json");
        const RunResult j = RunProgram(kCli, a, opts);
        EXPECT_EQ(j.Code, 1) << j.Err;
        std::map<std::string, std::string> last;
        const std::vector<std::string> lines = Lines(j.Out);
        ASSERT_FALSE(lines.empty());
        for (size_t i = 0; i + 1 < lines.size(); ++i) {
            const json e = json::parse(lines[i]);
            const std::string event = e.at("event");
            EXPECT_TRUE(event == "progress" || event == "done" || event == "failed") << event;
            last[e.at("device")] = event;
        }
        EXPECT_EQ(last, (std::map<std::string, std::string>{
                            {"A1", "done"}, {"B2", "failed"}, {"C3", "failed"}}));
        const json summary = json::parse(lines.back());
        EXPECT_EQ(summary.at("event"), "summary");
        EXPECT_EQ(summary.at("succeeded"), 1);
        EXPECT_EQ(summary.at("failed"), 2);
        ASSERT_EQ(summary.at("devices").size(), 3u);
        EXPECT_EQ(summary["devices"][0].at("result"), "done");
        EXPECT_TRUE(summary["devices"][0].contains("checksum"));
        EXPECT_EQ(summary["devices"][1].at("bootloader"), false);
        EXPECT_EQ(summary["devices"][2].at("bootloader"), true);
        EXPECT_TRUE(fs::is_empty(tmp));
    }
}

// Ctrl-C while two controllers download at the line's speed and a third is
// held by another program: the two stop where they are and say that they
// are left in their bootloader, the third is busy, no temporary file remains.
TEST_F(CliTest, CtrlCStopsEveryDownloadAndABusyBridgeIsReported)
{
    if (::access(kSim.c_str(), X_OK) != 0)
        GTEST_SKIP() << kSim << " is not built; build the nxsim target first";
    const std::string sc =
        Scenario("three.json", Controller("A1", "IncuControl", "bootloader") + "," +
                                   Controller("B2", "IncuControl", "bootloader") + "," +
                                   Controller("C3", "IncuControl", "bootloader"));
    ServerProcess sim = StartServer(kSim, {"--scenario=" + sc, "--wire-time"}, 3);
    const ServerStopper stopper{sim};
    const std::vector<std::string> ports = sim.Lines;
    ASSERT_EQ(ports.size(), 3u) << "nxsim printed no paths";
    const int held = ::open(ports[2].c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(held, 0);
    ASSERT_EQ(::flock(held, LOCK_EX | LOCK_NB), 0);

    const fs::path tmp = dir / "tmp";
    fs::create_directory(tmp);
    RunOptions opts;
    opts.Env["TMPDIR"] = tmp.string();
    opts.Env["NXUPDATE_PORTS"] = PortList(ports);
    int out = -1, err = -1;
    const pid_t pid =
        Spawn(kCli, {"download", "--device=all", "--file=" + kExamples + "/incucontrol_update.dat"},
              opts, out, &err);
    ASSERT_GT(pid, 0);
    // Interrupt once both downloads are sending blocks.
    std::string early;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (!(Has(early, ports[0] + ": Block: ") && Has(early, ports[1] + ": Block: ")) &&
           std::chrono::steady_clock::now() < deadline) {
        pollfd p{err, POLLIN, 0};
        char buf[1024];
        ssize_t n = 0;
        if (::poll(&p, 1, 100) > 0 && (n = ::read(err, buf, sizeof buf)) > 0)
            early.append(buf, static_cast<size_t>(n));
        if (n < 0 || (p.revents & POLLHUP && n == 0))
            break;
    }
    ::kill(pid, SIGINT);
    RunResult r;
    EXPECT_TRUE(DrainPipes(out, err, r.Out, r.Err, std::chrono::seconds(60)));
    int status = 0;
    ::waitpid(pid, &status, 0);
    ::close(held);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << status << early << r.Err;
    for (int i = 0; i < 2; ++i) {
        EXPECT_TRUE(Has(Row(r.Out, ports[i]), " interrupted ")) << r.Out;
        EXPECT_TRUE(Has(Row(r.Out, ports[i]), LeftInBootloaderText(0))) << r.Out;
    }
    EXPECT_TRUE(Has(Row(r.Out, ports[2]), " busy ")) << r.Out;
    EXPECT_TRUE(Has(Row(r.Out, ports[2]), "is in use by another program")) << r.Out;
    EXPECT_TRUE(fs::is_empty(tmp));
}

// --device by name, port or pattern, and --expect: the devices each run
// works on (its summary's rows), or its refusal before anything starts.
TEST_F(CliTest, DevicesAreChosenByNamePatternAndCount)
{
    const std::string sc =
        Scenario("three.json", Controller("A1", "IncuControl", "application") + "," +
                                   Controller("A2", "IncuControl", "application") + "," +
                                   Controller("B1", "IncuControl", "application"));
    const struct
    {
        std::vector<std::string> Args;
        int Code;
        std::vector<std::string> Rows; // none: no summary
        const char* Err;
    } rows[] = {
        {{"--device=A1"}, 0, {}, ""}, // one device: no summary
        {{"--device=A*"}, 0, {"A1", "A2"}, ""},
        {{"--device=?1"}, 0, {"A1", "B1"}, ""},
        {{"--device=[AB]2,B1"}, 0, {"A2", "B1"}, ""},
        {{"--device=Z*"}, 1, {}, "No controller matches 'Z*'; attached: A1, A2, B1\n"},
        {{"--device=all", "--expect=3"}, 0, {"A1", "A2", "B1"}, ""},
        {{"--device=A*", "--expect=3"},
         1,
         {},
         "Expected 3 controllers, found 2: A1, A2. Nothing was started.\n"},
        {{"--device=all", "--expect=2"},
         1,
         {},
         "Expected 2 controllers, found 3: A1, A2, B1. Nothing was started.\n"},
        {{"--device=A1,C9", "--expect=2"},
         1,
         {},
         "Expected 2 controllers, found 1: A1 (not attached: C9). Nothing was started.\n"},
        {{"--device=A1", "--expect=1"}, 2, {}, "--expect goes with several devices"},
        {{"--device=all", "--jobs=0"}, 2, {}, "--jobs needs a number from 1 to 999, not '0'"},
        {{"--device=A1,all"}, 2, {}, "--device=all stands alone, not in a list"},
    };
    for (const auto& row : rows) {
        std::vector<std::string> args = {"reset", "--simulate=" + sc};
        args.insert(args.end(), row.Args.begin(), row.Args.end());
        SCOPED_TRACE(args.back());
        const RunResult r = RunProgram(kCli, args);
        EXPECT_EQ(r.Code, row.Code) << r.Err;
        EXPECT_TRUE(Has(r.Err, row.Err)) << r.Err;
        std::vector<std::string> shown;
        for (const std::string& line : Lines(r.Out))
            if (line.size() > 3 && line[2] == ' ' && line.rfind("Device ", 0) != 0)
                shown.push_back(line.substr(0, 2));
        EXPECT_EQ(shown, row.Rows) << r.Out;
    }

    // --jobs=1: each device's events end before the next one's begin.
    const RunResult j =
        RunProgram(kCli, {"reset", "--simulate=" + sc, "--device=all", "--jobs=1", "--json"});
    EXPECT_EQ(j.Code, 0) << j.Err;
    std::string order;
    for (const std::string& line : Lines(j.Out)) {
        const json e = json::parse(line);
        if (e.contains("device") &&
            (order.empty() || order.substr(order.size() - 2) != e["device"].get<std::string>()))
            order += e["device"].get<std::string>();
    }
    EXPECT_EQ(order, "A1A2B1");
}

// A download on three with one refused: the summary names each device's log
// and the application that runs after it; @failed then takes only the one
// that failed, from the service record, and nothing once none failed.
TEST_F(CliTest, FailedDevicesAreTakenAgainFromTheServiceRecord)
{
    std::string wrong = Controller("B2", "IncuControl", "application");
    wrong.replace(wrong.find("IncuControlApp"), 14, "OtherApp");
    const std::string sc =
        Scenario("three.json", Controller("A1", "IncuControl", "bootloader") + "," + wrong + "," +
                                   Controller("C3", "IncuControl", "application"));
    fs::create_directory(dir / "logs");
    const std::string history = "--history=" + (dir / "h.db").string();
    const auto run = [&](const char* device, const char* command = "download") {
        return RunProgram(kCli, {command, "--simulate=" + sc, device, history,
                                 "--comlog=" + (dir / "logs").string(),
                                 "--file=" + kExamples + "/incucontrol_update.dat"});
    };
    RunResult r = run("--device=all");
    EXPECT_EQ(r.Code, 1) << r.Err;
    EXPECT_TRUE(Has(Row(r.Out, "A1"), ", application 4.2.0\n ")) << r.Out;
    for (const char* row : {"A1", "B2", "C3"})
        EXPECT_TRUE(
            Has(Row(r.Out, row) + "\n", " log NxComLog_" + std::to_string(row[0] - 'A') + ".txt\n"))
            << r.Out;

    r = run("--device=@failed");
    EXPECT_EQ(r.Code, 1) << r.Err;
    EXPECT_TRUE(Has(Row(r.Out, "B2"), "Invalid download file for this device")) << r.Out;
    EXPECT_TRUE(EndsWith(r.Out, "\n0 of 1 succeeded\n")) << r.Out;

    RunResult reset = RunProgram(kCli, {"reset", "--simulate=" + sc, "--device=all", history});
    EXPECT_EQ(reset.Code, 0) << reset.Err;
    r = run("--device=@failed");
    EXPECT_EQ(r.Code, 0) << r.Err;
    EXPECT_EQ(r.Out, "No controller failed in your last download or reset on several devices: "
                     "nothing to do.\n");

    r = RunProgram(kCli, {"reset", "--simulate=" + sc, "--device=@failed"});
    EXPECT_EQ(r.Code, 2);
    EXPECT_TRUE(Has(r.Err, "--device=@failed reads the service record, which is off")) << r.Err;
}

// The runner on its own: a child that crashes is told with its signal; a
// stop asks with SIGINT, then insists with SIGTERM and SIGKILL on children
// that ignore the one before.
TEST(ProcessRunnerTest, ACrashIsToldAndAStopEscalates)
{
    struct Listener : ProcessRunner::IListener
    {
        std::map<size_t, int> Status;
        int Ready = 0;
        void OnSpawnFailed(size_t, const std::string& text) override { ADD_FAILURE() << text; }
        void OnSkipped(size_t child) override { Status[child] = -1; }
        void OnLine(size_t, const std::string& line) override
        {
            if (line == "ready" && ++Ready == 3)
                ::kill(::getpid(), SIGTERM); // as a shell's kill, or Ctrl-C
        }
        void OnExit(size_t child, int status, const std::string&) override
        {
            Status[child] = status;
        }
    } listener;
    ProcessRunner crashing;
    crashing.Add({"/bin/sh", "-c", "kill -SEGV $$"});
    crashing.Run(listener);
    ASSERT_TRUE(WIFSIGNALED(listener.Status[0]));
    EXPECT_EQ(WTERMSIG(listener.Status[0]), SIGSEGV);

    ProcessRunner runner(std::chrono::milliseconds(200), std::chrono::milliseconds(200));
    for (const char* script :
         {"echo ready; exec sleep 30", "trap '' INT; echo ready; exec sleep 30",
          "trap '' INT TERM; echo ready; exec sleep 30", "echo never"})
        runner.Add({"/bin/sh", "-c", script});
    const auto start = std::chrono::steady_clock::now();
    runner.Run(listener, 3);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
    const int ended[] = {SIGINT, SIGTERM, SIGKILL}; // asked, terminated, killed
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_TRUE(WIFSIGNALED(listener.Status[i])) << i;
        EXPECT_EQ(WTERMSIG(listener.Status[i]), ended[i]) << i;
    }
    EXPECT_EQ(listener.Status[3], -1); // its turn came after the stop
    EXPECT_TRUE(runner.Stopping());
}

// Runs the program with stdout and stderr on a terminal cols wide; returns
// the screen it leaves (\r, \n, ESC[K and ESC[nA drawn as a terminal does),
// with a line that ran past the edge marked by a trailing '>'.
std::vector<std::string> OnTerminal(const std::vector<std::string>& args, unsigned short cols)
{
    const int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master < 0 || ::grantpt(master) != 0 || ::unlockpt(master) != 0)
        return {"<no terminal>"};
    const winsize ws{24, cols, 0, 0};
    ::ioctl(master, TIOCSWINSZ, &ws);
    RunOptions o;
    o.Env["COLUMNS"] = std::to_string(cols);
    int out = -1;
    std::vector<std::string> full = {"-c", "exec \"$0\" \"$@\" >\"$TERMINAL\" 2>&1", kCli};
    full.insert(full.end(), args.begin(), args.end());
    o.Env["TERMINAL"] = ::ptsname(master);
    const pid_t pid = Spawn("/bin/sh", full, o, out, nullptr);
    std::string text;
    char buf[4096];
    pollfd p{master, POLLIN, 0};
    // The slave closes when the program ends: the read then fails with EIO.
    for (ssize_t n; ::poll(&p, 1, 60000) > 0 && (n = ::read(master, buf, sizeof buf)) > 0;)
        text.append(buf, static_cast<size_t>(n));
    ::waitpid(pid, nullptr, 0);
    ::close(out);
    ::close(master);
    std::vector<std::string> screen(1);
    size_t row = 0, col = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '\r') {
            col = 0;
        } else if (c == '\n') {
            if (++row == screen.size())
                screen.emplace_back();
        } else if (c == '\033' && i + 1 < text.size() && text[i + 1] == '[') {
            size_t end = i + 2;
            while (end < text.size() && std::isdigit(static_cast<unsigned char>(text[end])))
                ++end;
            const int n = std::atoi(text.substr(i + 2, end - i - 2).c_str());
            if (text[end] == 'A')
                row -= std::min<size_t>(row, static_cast<size_t>(std::max(n, 1)));
            else if (text[end] == 'K')
                screen[row].resize(std::min(screen[row].size(), col));
            i = end;
        } else if (col >= cols) {
            screen[row] += '>';
        } else {
            screen[row].resize(std::max(screen[row].size(), col + 1), ' ');
            screen[row][col++] = c;
        }
    }
    return screen;
}

// Live lines and summary on terminals 60 and 80 columns wide: every line
// fits, each live line shows its serial number and its result word, and the
// failure texts stand whole in the summary, broken between words only.
TEST_F(CliTest, NarrowTerminalsCutNoResultAndBreakNoWord)
{
    std::string wrong = Controller("B2", "IncuControl", "application");
    wrong.replace(wrong.find("IncuControlApp"), 14, "OtherApp");
    std::string unplugged = Controller("C3", "IncuControl", "bootloader");
    unplugged.insert(unplugged.size() - 2,
                     R"(, "faults": [{"kind": "unplug", "cmd": 3, "from": 20}])");
    const std::string sc = Scenario("two.json", wrong + "," + unplugged);
    for (const unsigned short cols : {60, 80}) {
        SCOPED_TRACE(cols);
        const std::vector<std::string> screen =
            OnTerminal({"download", "--simulate=" + sc, "--device=all",
                        "--file=" + kExamples + "/incucontrol_update.dat"},
                       cols);
        std::string all = "\n", c3;
        for (const std::string& line : screen) {
            EXPECT_LE(line.size(), cols) << line;
            EXPECT_NE(line.back(), '>') << line;
            all += line + "\n";
        }
        EXPECT_TRUE(Has(all, "\nB2  [")) << all; // above the summary
        for (const std::string& line : screen) {
            const bool live = line.rfind("B2  [", 0) == 0 || line.rfind("C3  [", 0) == 0;
            EXPECT_TRUE(!live || EndsWith(line, " failed")) << line;
        }
        // The summary's rows of C3: its first line and the indented ones under it.
        const size_t at = all.find("\nC3      failed");
        ASSERT_NE(at, std::string::npos) << all;
        const size_t indent = all.find("Download of block", at) - at - 1;
        for (size_t begin = at + 1; begin < all.size() && (begin == at + 1 || all[begin] == ' ');
             begin = all.find('\n', begin) + 1)
            c3 += all.substr(begin + indent, all.find('\n', begin) - begin - indent) + " ";
        std::string left = LeftInBootloaderText(0);
        std::replace(left.begin(), left.end(), '\n', ' ');
        EXPECT_TRUE(Has(c3, "Download of block #19/97 failed: Device IO Failed " + left)) << all;
    }
}

// The example that runs the update on every lab PC of an inventory is a
// playbook ansible accepts (where ansible is installed).
TEST_F(CliTest, TheLabPlaybookPassesAnsiblesSyntaxCheck)
{
    const std::string ansible = "/usr/bin/ansible-playbook";
    if (::access(ansible.c_str(), X_OK) != 0)
        GTEST_SKIP() << "ansible is not installed (ansible-core)";
    RunOptions o;
    for (const char* var : {"HOME", "TMPDIR", "ANSIBLE_LOCAL_TEMP"})
        o.Env[var] = dir.String();
    o.Cwd = kExamples + "/ansible";
    const RunResult r =
        RunProgram(ansible, {"--syntax-check", "-i", "inventory.ini", "update-lab.yml"}, o);
    EXPECT_EQ(r.Code, 0) << r.Out << r.Err;
}

} // namespace

// ---- closed output, write errors, signals, failure texts ----

namespace {

// Reads fd until it has delivered `lines` line ends, or ends; at most 60 s.
std::string ReadLines(int fd, size_t lines)
{
    std::string got;
    pollfd p{fd, POLLIN, 0};
    while (static_cast<size_t>(std::count(got.begin(), got.end(), '\n')) < lines &&
           ::poll(&p, 1, 60000) > 0) {
        char buf[512];
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n <= 0)
            break;
        got.append(buf, static_cast<size_t>(n));
    }
    return got;
}

// The last "--- SEND" line of a communication log.
std::string LastSend(const std::string& log)
{
    const size_t at = log.rfind("--- SEND");
    return at == std::string::npos ? "" : log.substr(at, log.find('\n', at) - at);
}

// Whether the download behind a log ran to its last write and had it answered
// (a run on several reads the versions after it).
bool LogComplete(const std::string& log)
{
    const size_t last = log.rfind("CmdName='TblCompParamSet'");
    return last != std::string::npos && log.find("--- RESP: OK", last) != std::string::npos;
}

} // namespace

// `download ... 2>&1 | head -3`, in every output mode: the reader goes away
// at the first block, the terminal hangs up, or the parent of a device's
// process dies. The download finishes all the same, leaves no temporary
// file, and exits 1 for the lost output instead of dying of SIGPIPE or
// SIGHUP; only the process that was killed has no exit code to give.
TEST_F(CliTest, ClosedOutputNeverCutsADownloadShort)
{
    const std::string sc = Scenario("boot.json", Controller("0001", "IncuControl", "bootloader"));
    enum class Cut
    {
        Close,
        HangUp,
        KillParent,
    };
    const struct
    {
        std::vector<std::string> Mode;
        Cut How;
    } cases[] = {
        {{}, Cut::Close},
        {{"--events", "--device=0001"}, Cut::Close},
        {{"--device=all"}, Cut::Close},
        {{"--device=all", "--json"}, Cut::Close},
        {{}, Cut::HangUp},
        {{"--device=all"}, Cut::HangUp},
        {{"--device=all"}, Cut::KillParent},
    };
    for (const auto& c : cases) {
        const std::string mode = c.Mode.empty() ? "one device" : c.Mode.back();
        SCOPED_TRACE(mode + " cut " + std::to_string(static_cast<int>(c.How)));
        const TempFolder run("cut");
        fs::create_directory(run / "tmp");
        fs::create_directory(run / "logs");
        RunOptions o;
        o.Env["TMPDIR"] = (run / "tmp").string();
        std::vector<std::string> args = {"-c",
                                         "exec \"$0\" \"$@\" 2>&1",
                                         kCli,
                                         "download",
                                         "--simulate=" + sc,
                                         "--comlog=" + (run / "logs").string(),
                                         "--file=" + kExamples + "/incucontrol_update.dat"};
        args.insert(args.end(), c.Mode.begin(), c.Mode.end());
        int out = -1;
        const pid_t pid = Spawn("/bin/sh", args, o, out, nullptr);
        ASSERT_GT(pid, 0);
        const std::string early = ReadLines(out, 2);
        EXPECT_NE(early.find("Clear flash"), std::string::npos) << early;
        if (c.How != Cut::Close)
            ::kill(pid, c.How == Cut::HangUp ? SIGHUP : SIGKILL);
        if (c.How != Cut::HangUp)
            ::close(out);
        int status = 0;
        ::waitpid(pid, &status, 0);
        const fs::path log = run / "logs" / "NxComLog_0.txt";
        if (c.How == Cut::KillParent) {
            // The orphan finishes on its own.
            const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
            while (!(LogComplete(ReadFile(log)) && fs::is_empty(run / "tmp")) &&
                   std::chrono::steady_clock::now() < deadline)
                std::this_thread::sleep_for(std::chrono::milliseconds(50));
        } else {
            ASSERT_TRUE(WIFEXITED(status)) << "signal " << WTERMSIG(status);
            EXPECT_EQ(WEXITSTATUS(status), 1);
        }
        if (c.How == Cut::HangUp) { // nothing more after the hang-up
            const std::string rest = ReadLines(out, 1000);
            EXPECT_EQ(rest.find("succeeded"), std::string::npos) << rest;
            EXPECT_EQ(rest.find(kDownloadFinished), std::string::npos) << rest;
            ::close(out);
        }
        EXPECT_TRUE(fs::is_empty(run / "tmp"));
        EXPECT_TRUE(LogComplete(ReadFile(log))) << LastSend(ReadFile(log));
    }

    // A device's process whose reader is gone says so where it can.
    const RunResult r =
        RunProgram("/bin/sh", {"-c", "exec \"$0\" \"$@\" | head -c 1 >/dev/null", kCli, "download",
                               "--simulate=" + sc, "--events", "--device=0001",
                               "--file=" + kExamples + "/incucontrol_app.hex"});
    EXPECT_EQ(r.Err, "nxupdate-cli: the output could not be written: Broken pipe\n");
}

// Ctrl-C during a download into one device stops it at its next step, says
// where the controller is left, as a run on several does, and exits 130.
TEST_F(CliTest, CtrlCDuringOneDownloadSaysWhereTheControllerIsLeft)
{
    if (::access(kSim.c_str(), X_OK) != 0)
        GTEST_SKIP() << kSim << " is not built; build the nxsim target first";
    // At the line's speed the blocks take seconds: Ctrl-C lands among them.
    const std::string sc = Scenario("boot.json", Controller("0001", "IncuControl", "bootloader"));
    ServerProcess sim = StartServer(kSim, {"--scenario=" + sc, "--wire-time"}, 1);
    const ServerStopper stopper{sim};
    ASSERT_EQ(sim.Lines.size(), 1u) << "nxsim printed no path";
    fs::create_directory(dir / "tmp");
    RunOptions o;
    o.Env["TMPDIR"] = (dir / "tmp").string();
    o.Env["NXUPDATE_PORTS"] = sim.Lines[0];
    int out = -1, err = -1;
    const pid_t pid =
        Spawn(kCli, {"download", "--file=" + kExamples + "/incucontrol_update.dat"}, o, out, &err);
    ASSERT_GT(pid, 0);
    ReadLines(err, 2); // "Clear flash", the first block
    ::kill(pid, SIGINT);
    RunResult r;
    EXPECT_TRUE(DrainPipes(out, err, r.Out, r.Err, std::chrono::seconds(60)));
    int status = 0;
    ::waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 130) << status;
    EXPECT_TRUE(Has(r.Err, std::string("Interrupted\n") + LeftInBootloaderText(0))) << r.Err;
    EXPECT_TRUE(fs::is_empty(dir / "tmp"));
}

TEST_F(CliTest, OutputThatCannotBeWrittenExitsWithOne)
{
    for (const char* cmd : {"list", "info", "--version"}) {
        const RunResult r =
            RunProgram("/bin/sh", {"-c", "exec \"$0\" \"$@\" >/dev/full", kCli, "--simulate", cmd});
        EXPECT_EQ(r.Code, 1) << cmd;
        EXPECT_EQ(r.Err, "nxupdate-cli: the output could not be written: No space left on device\n")
            << cmd;
    }
}

// Signals whose default ends the process first remove the unpacked firmware.
TEST_F(CliTest, FatalSignalsRemoveTheTemporaryFiles)
{
    const std::string sc = Scenario("boot.json", Controller("0001", "IncuControl", "bootloader"));
    // A temporary folder with a path of 600 characters and more.
    const fs::path deep =
        dir / std::string(200, 'a') / std::string(200, 'b') / std::string(200, 'c');
    fs::create_directories(deep);
    fs::create_directory(dir / "tmp");
    RunOptions o;
    for (const auto& [sig, tmp] : {std::pair{SIGUSR1, dir / "tmp"}, std::pair{SIGALRM, dir / "tmp"},
                                   std::pair{SIGTERM, dir / "tmp"}, std::pair{SIGTERM, deep}}) {
        SCOPED_TRACE(std::to_string(sig) + " " + std::to_string(tmp.string().size()));
        o.Env["TMPDIR"] = tmp.string();
        int out = -1;
        const pid_t pid =
            Spawn("/bin/sh",
                  {"-c", "exec \"$0\" \"$@\" 2>&1", kCli, "download", "--simulate=" + sc,
                   "--file=" + kExamples + "/incucontrol_update.dat"},
                  o, out, nullptr);
        ASSERT_GT(pid, 0);
        ReadLines(out, 2); // "Clear flash", the first block: both files exist
        EXPECT_FALSE(fs::is_empty(tmp));
        ::kill(pid, sig);
        int status = 0;
        ::waitpid(pid, &status, 0);
        ::close(out);
        EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == sig);
        EXPECT_TRUE(fs::is_empty(tmp));
    }
}

// On a pipe a failure is printed once; a refused table write names its cause
// on the line below the text the desktop program shows.
TEST_F(CliTest, FailureTextsArePrintedOnce)
{
    const struct
    {
        const char *State, *File, *Once, *Below;
    } cases[] = {
        {"application", "incucontrol_tables.xml", "Parameter table update failed\n",
         "'TblVersion' failed: "},
        // In its bootloader the controller is programmed at once.
        {"bootloader", "incucontrol_app.hex", "Download of block #0/", ""},
    };
    for (const auto& c : cases) {
        const std::string sc = Scenario(
            "f.json", std::string(R"({"serial": "0001", "controller": {"hwName": "IncuControl",
                "state": ")") +
                          c.State + R"(", "faults": [{"kind": "reject", "cmd": 13},
                {"kind": "reject", "cmd": 3, "count": 0}]}})");
        const RunResult r = RunProgram(
            kCli, {"download", "--simulate=" + sc, "--file=" + kExamples + "/" + c.File});
        EXPECT_EQ(r.Code, 1);
        const size_t at = r.Err.find(c.Once);
        ASSERT_NE(at, std::string::npos) << r.Err;
        EXPECT_EQ(at, r.Err.rfind(c.Once)) << r.Err;
        EXPECT_EQ(r.Err.find(std::string(c.Once) + c.Below), at) << r.Err;
    }
}

// The command line updates the list once: a controller that missed its first
// status probe (a stall just ended) is asked again at once; one that answers
// both wrongly is named with the reason, not taken for no controller at all.
TEST_F(CliTest, AControllerThatMissedItsFirstProbeIsFound)
{
    const std::string sc = Scenario(
        "stall.json",
        R"({"serial": "0001", "controller": {"faults": [{"kind": "noReply", "cmd": 20}]}})");
    const RunResult r = RunProgram(kCli, {"list", "--simulate=" + sc});
    EXPECT_EQ(r.Code, 0) << r.Err;
    EXPECT_EQ(r.Out, "Controller (#0001)\n");

    const std::string garbled = Scenario(
        "garbled.json", R"({"serial": "0001", "controller": {"faults": [{"kind": "badChecksum",
            "cmd": 20, "count": 0}]}})");
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"info", "--simulate=" + garbled},
          {"info", "--simulate=" + garbled, "--device=0001"}}) {
        const RunResult g = RunProgram(kCli, args);
        EXPECT_EQ(g.Code, 1);
        EXPECT_EQ(g.Err, "Bridge '0001' was found, but its controller did not answer correctly: "
                         "Frame CRC error\n");
    }
}
