// The service record through nxupdate-cli: which file a run records into,
// the commands that write it (also from the processes of a run on several
// devices), and history and report as a user runs them. What the records
// hold is the core's test (test_history.cpp).
#include "History/HistoryDb.h"
#include "support/HistoryRig.h"
#include "support/RunProgram.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

namespace fs = std::filesystem;

namespace {

const std::string kCli = std::string(NX_BINARY_DIR) + "/nxupdate-cli";
const std::string kExamples = std::string(NX_SOURCE_DIR) + "/examples";

bool Has(const std::string& text, const std::string& part)
{
    return text.find(part) != std::string::npos;
}

// The demo controller with another serial number, as a scenario's bridge.
std::string DemoBridge(const std::string& serial)
{
    return R"({"serial": ")" + serial + R"(", "controller": {"state": "application",
        "hwName": "IncuControl", "appName": "IncuControlApp", "tblName": "IncuControl"}})";
}

class HistoryCliTest : public ProgramTest
{
protected:
    HistoryCliTest() : ProgramTest(kCli) {}

    std::string Db(const std::string& name = "h.db") const { return (dir / name).string(); }
    RunResult Cli(std::vector<std::string> args, const RunOptions& opts = {}) const
    {
        return RunProgram(kCli, args, opts);
    }
    std::vector<HistoryRecord> Records(const std::string& path) const
    {
        return HistoryDb(path, false).Select();
    }
};

} // namespace

TEST_F(HistoryCliTest, EveryCommandThatChangesADeviceRecordsItAlsoFromSeveralProcesses)
{
    const std::string h = "--history=" + Db();
    const std::string hex = "--file=" + kExamples + "/gasprobe.hex";
    EXPECT_EQ(Cli({"download", "--simulate", h, hex, "--channel=1"}).Code, 0);
    EXPECT_EQ(Cli({"download", "--simulate", h, hex, "--channel=1", "--dry-run"}).Code, 0);
    EXPECT_EQ(Cli({"reset", "--simulate", h, "--channel=2"}).Code, 0);
    EXPECT_EQ(Cli({"filter", "--simulate", h, "--channel=1", "--reset", "--yes"}).Code, 0);
    EXPECT_EQ(Cli({"filter", "--simulate", h, "--channel=1"}).Code, 0); // reads: no record
    EXPECT_EQ(Cli({"info", "--simulate", h}).Code, 0);
    // A target that is not there is recorded under the serial number asked for.
    EXPECT_EQ(Cli({"reset", "--simulate", h, "--device=0404"}).Code, 1);

    // Each device's process of a run on several writes its own record.
    const fs::path sc = dir / "two.json";
    std::ofstream(sc) << R"({"bridges": [)" << DemoBridge("A1") << "," << DemoBridge("B2") << "]}";
    const RunResult several = Cli({"reset", "--simulate=" + sc.string(), h, "--device=all"});
    EXPECT_EQ(several.Code, 0) << several.Out << several.Err;

    std::vector<std::string> seen;
    for (const HistoryRecord& r : Records(Db()))
        seen.push_back(std::string(HistoryActionName(r.Action)) + (r.DryRun ? " dry " : " ") +
                       r.Serial + "/" + std::to_string(r.Channel) + " " +
                       HistoryResultName(r.Result) + " " + r.Frontend);
    std::sort(seen.end() - 2, seen.end()); // the two processes race
    EXPECT_EQ(seen,
              (std::vector<std::string>{
                  "component-firmware 0001/1 done cli", "component-firmware dry 0001/1 done cli",
                  "reset 0001/2 done cli", "filter-reset 0001/1 done cli",
                  "reset 0404/0 failed cli", "reset A1/0 done cli", "reset B2/0 done cli"}));
    EXPECT_EQ(HistoryDb(Db(), false).Verify().Problem, "");
}

TEST_F(HistoryCliTest, TheFileIsTheOptionTheVariableOrTheDefaultAndNeverASimulatorsRun)
{
    const std::string hex = "--file=" + kExamples + "/gasprobe.hex";
    const fs::path state = dir / "state";
    RunOptions env;
    env.Env["XDG_STATE_HOME"] = state.string();
    env.Env["NXUPDATE_HISTORY"] = ""; // unset
    const std::string defaultDb = (state / "nxupdate" / "history.db").string();

    // A simulated device does not enter the PC's record.
    EXPECT_EQ(Cli({"reset", "--simulate"}, env).Code, 0);
    EXPECT_FALSE(fs::exists(defaultDb));
    EXPECT_EQ(Cli({"reset", "--simulate", "--history=off"}, env).Code, 0);
    env.Env["NXUPDATE_HISTORY"] = Db("var.db");
    EXPECT_EQ(Cli({"reset", "--simulate"}, env).Code, 0);
    EXPECT_EQ(Cli({"reset", "--simulate", "--history=" + Db("opt.db")}, env).Code, 0);
    EXPECT_EQ(Records(Db("var.db")).size(), 1u);
    EXPECT_EQ(Records(Db("opt.db")).size(), 1u);

    // history reads the default like the commands write it.
    env.Env["NXUPDATE_HISTORY"] = "";
    HistoryRecord r = SampleRecord("2026-12-07T10:00:00.000Z");
    fs::create_directories(state / "nxupdate");
    AppendHistory(defaultDb, r);
    const RunResult listed = Cli({"history", "--json"}, env);
    EXPECT_EQ(listed.Code, 0) << listed.Err;
    EXPECT_EQ(nlohmann::json::parse(listed.Out).size(), 1u);

    const RunResult twice = Cli({"reset", "--simulate", "--history=a.db", "--history=b.db"});
    EXPECT_EQ(twice.Code, 2);
    EXPECT_TRUE(Has(twice.Err, "only history and report read several files")) << twice.Err;
}

TEST_F(HistoryCliTest, HistoryListsFiltersMergesAndVerifies)
{
    // Two PCs' files, their records interleaved in time.
    for (const auto& [file, minutes] :
         std::vector<std::pair<std::string, std::vector<int>>>{{"a.db", {1, 3}}, {"b.db", {2}}}) {
        for (int m : minutes) {
            HistoryRecord r =
                SampleRecord(StrFormat("2026-12-07T10:%02d:00.000Z", m), m == 2 ? "0002" : "0001");
            r.Result = m == 3 ? HistoryResult::Failed : HistoryResult::Done;
            if (m == 3)
                r.Failure = "'ProgFlashPage' failed: Read timed out";
            AppendHistory(Db(file), r);
        }
    }
    RunOptions utc;
    utc.Env["TZ"] = "UTC";
    const std::string a = "--history=" + Db("a.db"), b = "--history=" + Db("b.db");
    RunResult r = Cli({"history", a, b}, utc);
    ASSERT_EQ(r.Code, 0) << r.Err;
    EXPECT_TRUE(Has(r.Out, "2026-12-07 10:01:00 +00:00  0001")) << r.Out;
    EXPECT_LT(r.Out.find("10:01:00"), r.Out.find("10:02:00"));
    EXPECT_LT(r.Out.find("10:02:00"), r.Out.find("10:03:00"));
    EXPECT_TRUE(Has(r.Out, "\n    'ProgFlashPage' failed: Read timed out\n")) << r.Out;

    const auto count = [&](std::vector<std::string> args) {
        args.insert(args.begin(), {"history", "--json", a, b});
        const RunResult j = Cli(args, utc);
        EXPECT_EQ(j.Code, 0) << j.Err;
        return j.Code == 0 ? nlohmann::json::parse(j.Out).size() : 99;
    };
    EXPECT_EQ(count({}), 3u);
    EXPECT_EQ(count({"--device=0001"}), 2u);
    EXPECT_EQ(count({"--result=failed"}), 1u);
    EXPECT_EQ(count({"--since=2026-12-07T10:02Z"}), 2u);
    EXPECT_EQ(count({"--until=2026-12-07T10:02Z"}), 2u);
    EXPECT_EQ(count({"--since=2026-12-08"}), 0u);

    r = Cli({"history", "--csv", a});
    EXPECT_EQ(r.Out.substr(0, r.Out.find("\r\n")), "start,end,host,user,program,frontend,action,"
                                                   "dryRun,serial,port,channel,model,"
                                                   "componentSerial,before,after,file,fileSize,"
                                                   "sha256,checksum,result,failure,bootloader,"
                                                   "durationMs,comlog,run,hash");

    r = Cli({"history", "--verify", a, b});
    EXPECT_EQ(r.Code, 0);
    EXPECT_TRUE(Has(r.Out, "a.db: 2 records, the chain holds\n  head ")) << r.Out;
    EXPECT_TRUE(Has(r.Out, "b.db: 1 record, the chain holds\n  head ")) << r.Out;
    Sql(Db("a.db"), "UPDATE record SET result = 'done' WHERE id = 2");
    r = Cli({"history", "--verify", a});
    EXPECT_EQ(r.Code, 1);
    EXPECT_TRUE(Has(r.Out, "record 2 (2026-12-07T10:03:00.000Z, 0001, controller-firmware) was "
                           "changed"))
        << r.Out;

    for (const auto& [args, text] : std::vector<std::pair<std::vector<std::string>, std::string>>{
             {{"--json", "--csv"}, "not both"},
             {{"--since=yesterday"}, "--since needs a date"},
             {{"--result=ok"}, "--result is one of"},
             {{"--verify", "--device=1"}, "--verify checks the whole record"}}) {
        std::vector<std::string> bad = {"history", a};
        bad.insert(bad.end(), args.begin(), args.end());
        r = Cli(bad);
        EXPECT_EQ(r.Code, 2) << text;
        EXPECT_TRUE(Has(r.Err, text)) << r.Err;
    }
}

TEST_F(HistoryCliTest, ABrokenHistoryNeverStopsADownloadAndHistorySaysWhatIsWrong)
{
    const std::string garbage = dir.Write("h.db", "these are notes, not a database\n");
    const RunResult d = Cli({"download", "--simulate", "--history=" + garbage, "--channel=1",
                             "--file=" + kExamples + "/gasprobe.hex"});
    EXPECT_EQ(d.Code, 0) << d.Err;
    EXPECT_TRUE(Has(d.Out, "Download finished successfully"));
    EXPECT_TRUE(Has(d.Err, "History: The history " + garbage + " is not a database")) << d.Err;
    EXPECT_EQ(ReadFile(garbage), "these are notes, not a database\n");
    const RunResult h = Cli({"history", "--history=" + garbage});
    EXPECT_EQ(h.Code, 1);
    EXPECT_TRUE(Has(h.Err, "is not a database")) << h.Err;
    // A full disk: the files may not grow past 32 KiB (the shared-memory file's
    // size), so the record's pages cannot be added to the log.
    const std::string full = Db("full.db");
    const std::vector<std::string> download = {"download", "--simulate", "--history=" + full,
                                               "--file=" + kExamples + "/incucontrol_app.hex"};
    ASSERT_EQ(Cli(download).Code, 0);
    std::vector<std::string> limited = {"-c", "trap '' XFSZ; ulimit -f 64; exec \"$0\" \"$@\"",
                                        kCli};
    limited.insert(limited.end(), download.begin(), download.end());
    const RunResult f = RunProgram("/bin/sh", limited);
    EXPECT_EQ(f.Code, 0) << f.Err;
    EXPECT_TRUE(Has(f.Out, "Download finished successfully"));
    EXPECT_TRUE(Has(f.Err, "History: The history " + full + " cannot be")) << f.Err;
    EXPECT_TRUE(
        Has(Cli({"history", "--verify", "--history=" + full}).Out, ": 1 record, the chain holds"));
}
