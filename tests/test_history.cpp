// The service record: the record each action writes, the chain that shows a
// later change, readers and writers, and history files that cannot be used,
// none of which may stop an action.
#include "Download/DownloadAction.h"
#include "Download/DryRunDownload.h"
#include "FilterInfo.h"
#include "History/HistoryOutput.h"
#include "History/HistoryTime.h"
#include "VersionInfo.h"
#include "support/CampaignFiles.h"
#include "support/HistoryRig.h"
#include "support/RunProgram.h"
#include "support/SimRig.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <functional>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using Sim::SimFault;
using Sim::SimFaultKind;

class NullUi : public NxDownloadUi
{
public:
    void ShowProgress(const std::string&, std::optional<unsigned>) override {}
};

std::string At(const HistoryJson& j, const char* part, const char* field)
{
    return j.contains(part) && j[part].contains(field) ? j[part][field].get<std::string>() : "";
}

struct ActionRow
{
    const char* What;
    std::function<void(SimRig&, Sim::SimController&, const TempFolder&)> Run;
    HistoryAction Action;
    int Channel;
    HistoryResult Result;
    std::function<void(const HistoryRecord&)> Check;
};

} // namespace

TEST(HistoryRecords, EveryActionWritesItsRecordWithWhatItReadAndLeft)
{
    auto download = [](std::string serial, int channel, const char* file, bool dry = false) {
        return [=](SimRig& rig, Sim::SimController&, const TempFolder& dir) {
            NullUi ui;
            const std::string path = (dir / file).string();
            if (dry)
                DryRunDownload(rig.list, serial, channel, path);
            else
                RunDownload(rig.list, ui, serial, channel, path);
        };
    };
    const ActionRow rows[] = {
        {"controller firmware", download("0001", 0, "controller.hex"),
         HistoryAction::ControllerFirmware, 0, HistoryResult::Done,
         [](const HistoryRecord& r) {
             EXPECT_EQ(r.Before["state"], "application");
             EXPECT_EQ(At(r.Before, "application", "name"), "IncuControlApp");
             EXPECT_EQ(At(r.After, "application", "name"), "IncuControlApp");
             EXPECT_EQ(At(r.After, "paramTables", "name"), "IncuControl");
             ASSERT_TRUE(r.Checksum);
             EXPECT_EQ(r.Checksum->rfind("0x", 0), 0u);
             EXPECT_EQ(*r.Sha256, Sha256Hex(ControllerHex()));
             EXPECT_EQ(*r.FileSize, static_cast<int64_t>(ControllerHex().size()));
             // The three pauses of the sequence on the virtual clock, and the reads.
             EXPECT_GE(r.DurationMs, 5000 + 2000);
         }},
        {"component firmware", download("0001", 1, "component.hex"),
         HistoryAction::ComponentFirmware, 1, HistoryResult::Done,
         [](const HistoryRecord& r) {
             EXPECT_EQ(r.Model, "GasProbe");
             EXPECT_EQ(r.ComponentSerial, "1330427");
             EXPECT_EQ(r.Before["identifier"], "0x21");
             EXPECT_EQ(At(r.Before, "application", "name"), "GasProbe");
             EXPECT_FALSE(r.Checksum); // a component is sent no sum
             EXPECT_EQ(r.After["state"], "application");
         }},
        {"parameter tables", download("0001", 0, "tables.xml"), HistoryAction::Tables, 0,
         HistoryResult::Done,
         [](const HistoryRecord& r) {
             EXPECT_EQ(At(r.Before, "hardware", "name"), "IncuControl");
             EXPECT_FALSE(r.After.is_null());
         }},
        {"packed file", download("0001", 0, "bundle.dat"), HistoryAction::Dat, 0,
         HistoryResult::Done, [](const HistoryRecord& r) { EXPECT_TRUE(r.Checksum); }},
        {"dry run", download("0001", 2, "component.hex", true), HistoryAction::ComponentFirmware, 2,
         HistoryResult::Refused,
         [](const HistoryRecord& r) {
             EXPECT_TRUE(r.DryRun);
             EXPECT_EQ(r.Model, "Meridian");
             EXPECT_TRUE(r.After.is_null());
             EXPECT_NE(r.Failure->find("Invalid download file"), std::string::npos);
         }},
        {"dry run that passes", download("0001", 0, "controller.hex", true),
         HistoryAction::ControllerFirmware, 0, HistoryResult::Done,
         [](const HistoryRecord& r) {
             EXPECT_TRUE(r.DryRun);
             EXPECT_FALSE(r.Checksum);
             EXPECT_TRUE(r.After.is_null());
         }},
        {"refusal before any write", download("0001", 1, "tables.xml"), HistoryAction::Tables, 1,
         HistoryResult::Refused,
         [](const HistoryRecord& r) {
             EXPECT_EQ(r.Failure, "File not supported in SerialMode");
             EXPECT_FALSE(r.Bootloader);
         }},
        {"failure that leaves the bootloader",
         [&](SimRig& rig, Sim::SimController& ctl, const TempFolder& dir) {
             ctl.AddFault({SimFaultKind::NoReply, 3, -1, -1, -1, 1, 0}); // a page is lost
             download("0001", 0, "controller.hex")(rig, ctl, dir);
         },
         HistoryAction::ControllerFirmware, 0, HistoryResult::Failed,
         [](const HistoryRecord& r) {
             EXPECT_TRUE(r.Bootloader);
             EXPECT_TRUE(r.After.is_null());
         }},
        {"device not attached", download("0009", 0, "controller.hex"),
         HistoryAction::ControllerFirmware, 0, HistoryResult::Failed,
         [](const HistoryRecord& r) { EXPECT_EQ(r.Serial, "0009"); }},
        {"reset",
         [](SimRig& rig, Sim::SimController&, const TempFolder&) {
             ResetToApplication(*rig.list.FindBySerial("0001"), 2);
         },
         HistoryAction::Reset, 2, HistoryResult::Done,
         [](const HistoryRecord& r) { EXPECT_EQ(At(r.After, "application", "name"), "Meridian"); }},
        {"filter reset",
         [](SimRig& rig, Sim::SimController&, const TempFolder&) {
             ResetFilterCounter(*rig.list.FindBySerial("0001"), 1);
         },
         HistoryAction::FilterReset, 1, HistoryResult::Done,
         [](const HistoryRecord& r) {
             EXPECT_TRUE(r.After["filter"].contains("lastChange"));
             EXPECT_TRUE(r.After["filter"].contains("runtime"));
         }},
    };
    for (const ActionRow& row : rows) {
        SCOPED_TRACE(row.What);
        SimRig rig;
        const Sim::SimHandle sim = rig.InstallListed();
        TempFolder dir("files");
        WriteCampaignFiles(dir);
        WriteText(dir / "tables.xml", ReadFile(TablesFile()));
        HistoryRig history;
        try {
            row.Run(rig, *sim.Controller, dir);
        } catch (const std::exception&) {
        }
        const auto records = history.Records();
        ASSERT_EQ(records.size(), 1u);
        const HistoryRecord& r = records[0];
        EXPECT_EQ(r.Action, row.Action);
        EXPECT_EQ(r.Channel, row.Channel);
        EXPECT_EQ(r.Result, row.Result) << r.Failure.value_or("");
        EXPECT_EQ(r.Frontend, "cli");
        EXPECT_FALSE(r.Host.empty() || r.User.empty() || r.Program.empty());
        EXPECT_LE(r.Start, r.End);
        EXPECT_EQ(r.Failure.has_value(), row.Result != HistoryResult::Done);
        EXPECT_EQ(r.PrevHash, kGenesisHash);
        EXPECT_EQ(r.Hash, r.ComputeHash());
        row.Check(r);
        EXPECT_TRUE(rig.sink.Shown.empty()) << rig.sink.Shown.front().Text;
    }
}

namespace {

// A database of n records, the i-th started on minute i.
std::string FiveRecords(const TempFolder& dir)
{
    const std::string path = (dir / "h.db").string();
    for (int i = 1; i <= 5; ++i) {
        HistoryRecord r = SampleRecord(StrFormat("2026-12-07T10:%02d:00.000Z", i));
        AppendHistory(path, r);
    }
    return path;
}

} // namespace

TEST(HistoryChain, NamesTheFirstRecordThatWasChangedRemovedOrMoved)
{
    struct Row
    {
        const char* Tamper;
        const char* Problem;
        int64_t BadId;
    };
    const Row rows[] = {
        {"UPDATE record SET failure = 'none' WHERE id = 3",
         "record 3 (2026-12-07T10:03:00.000Z, "
         "0001, controller-firmware) was changed",
         3},
        {"UPDATE record SET duration_ms = 1 WHERE id = 5", "record 5 ", 5},
        {"DELETE FROM record WHERE id = 2", "a record before record 3 ", 3},
        {"UPDATE record SET id = -3 WHERE id = 3; UPDATE record SET id = 3 WHERE id = 4;"
         "UPDATE record SET id = 4 WHERE id = -3",
         "record 3 (2026-12-07T10:04:00.000Z, 0001, controller-firmware) is out of order: it "
         "was written after record 4",
         3},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.Tamper);
        TempFolder dir("chain");
        const std::string path = FiveRecords(dir);
        const HistoryChain before = HistoryDb(path, false).Verify();
        EXPECT_EQ(before.Records, 5u);
        EXPECT_EQ(before.Problem, "");
        EXPECT_EQ(before.Head, HistoryDb(path, false).Select().back().Hash);
        ASSERT_EQ(Sql(path, row.Tamper), "");
        const HistoryChain after = HistoryDb(path, false).Verify();
        EXPECT_NE(after.Problem.find(row.Problem), std::string::npos) << after.Problem;
        EXPECT_EQ(after.BadId, row.BadId);
    }
}

// A file of the first schema (before runs were recorded) is brought forward:
// its records keep their hashes, and the chain goes on through a record of a run.
TEST(HistoryChain, AFileOfTheFirstSchemaIsBroughtForward)
{
    TempFolder dir("schema1");
    const std::string path = FiveRecords(dir);
    ASSERT_EQ(Sql(path, "ALTER TABLE record DROP COLUMN run; PRAGMA user_version = 1"), "");
    HistoryRecord r = SampleRecord("2026-12-07T11:00:00.000Z");
    r.Run = "2026-12-07T11:00:00.000Z/4711";
    AppendHistory(path, r);
    const HistoryChain chain = HistoryDb(path, false).Verify();
    EXPECT_EQ(chain.Records, 6u);
    EXPECT_EQ(chain.Problem, "");
    EXPECT_EQ(HistoryDb(path, false).Select().back().Run, r.Run);
    EXPECT_EQ(HistoryDb(path, false).Select().front().Run, std::nullopt);
}

TEST(HistoryChain, ParallelWritersLoseNoRecordAndBreakNoLink)
{
    TempFolder dir("parallel");
    const std::string path = (dir / "h.db").string();
    constexpr int kWriters = 4, kEach = 60;
    std::vector<pid_t> pids;
    for (int w = 0; w < kWriters; ++w) {
        const pid_t pid = ::fork();
        if (pid == 0) {
            int failed = 0;
            for (int i = 0; i < kEach; ++i) {
                HistoryRecord r = SampleRecord(UtcText(HistoryClock::now()), StrFormat("w%d", w));
                try {
                    AppendHistory(path, r);
                } catch (...) {
                    ++failed;
                }
            }
            ::_exit(failed);
        }
        pids.push_back(pid);
    }
    for (pid_t pid : pids) {
        int status = 0;
        ::waitpid(pid, &status, 0);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    const HistoryChain chain = HistoryDb(path, false).Verify();
    EXPECT_EQ(chain.Records, size_t{kWriters * kEach});
    EXPECT_EQ(chain.Problem, "");
    HistoryFilter one;
    one.Serial = "w2";
    EXPECT_EQ(HistoryDb(path, false).Select(one).size(), size_t{kEach});
}

namespace {

// Makes path read-only for whoever writes: its mode, and for root (whom modes
// do not stop) the immutable attribute. False where neither is possible.
bool MakeReadOnly(const std::string& path, bool on)
{
    if (::geteuid() != 0)
        return ::chmod(path.c_str(), on ? 0444 : 0644) == 0;
    const int fd = ::open(path.c_str(), O_RDONLY);
    int flags = 0;
    bool ok = fd >= 0 && ::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0;
    flags = on ? flags | FS_IMMUTABLE_FL : flags & ~FS_IMMUTABLE_FL;
    ok = ok && ::ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0;
    if (fd >= 0)
        ::close(fd);
    return ok;
}

} // namespace

TEST(HistoryProblems, AHistoryThatCannotBeWrittenIsToldOnceAndTheActionGoesOn)
{
    struct Row
    {
        const char* What;
        std::function<std::string(const TempFolder&)> Arrange; // the history's path
        const char* Told;
    };
    const Row rows[] = {
        {"garbage",
         [](const TempFolder& d) { return d.Write("h.db", std::string(4096, 'x') + "\n"); },
         "is not a database; it is left as it is for inspection"},
        {"missing folder", [](const TempFolder& d) { return (d / "none" / "h.db").string(); },
         "cannot be opened"},
        {"newer schema",
         [](const TempFolder& d) {
             const std::string p = (d / "h.db").string();
             Sql(p, "CREATE TABLE future (x); PRAGMA user_version = 7");
             return p;
         },
         "was written by a newer version of the program (schema 7, this one knows 2)"},
        {"another program's database",
         [](const TempFolder& d) {
             const std::string p = (d / "h.db").string();
             Sql(p, "CREATE TABLE contacts (name)");
             return p;
         },
         "is a database of another program"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.What);
        SimRig rig;
        rig.InstallListed();
        TempFolder dir("broken");
        const std::string path = row.Arrange(dir);
        const std::string bytes = std::filesystem::exists(path) ? ReadFile(path) : "";
        SetHistory(path, "desktop");
        for (int i = 0; i < 2; ++i)
            EXPECT_NO_THROW(ResetToApplication(*rig.list.FindBySerial("0001"), 0));
        SetHistory("", "cli");
        ASSERT_EQ(rig.sink.Shown.size(), 1u); // once, not once per action
        EXPECT_NE(rig.sink.Shown[0].Text.find(row.Told), std::string::npos)
            << rig.sink.Shown[0].Text;
        EXPECT_EQ(rig.sink.Shown[0].Caption, "History");
        if (!bytes.empty()) {
            EXPECT_TRUE(ReadFile(path) == bytes); // left for inspection
            // The reader says what is wrong instead of listing nothing.
            EXPECT_THROW(HistoryDb(path, false), HistoryError);
        }
    }
}

TEST(HistoryProblems, LockedPastTheBusyTimeoutOrReadOnly)
{
    TempFolder dir("locked");
    const std::string path = FiveRecords(dir);
    {
        // Another process's write transaction holds the file; the wait is virtual.
        VirtualClock clock;
        ScopedClock use(clock);
        sqlite3* other = nullptr;
        ASSERT_EQ(sqlite3_open(path.c_str(), &other), SQLITE_OK);
        ASSERT_EQ(sqlite3_exec(other, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr), SQLITE_OK);
        HistoryRecord r = SampleRecord("2026-12-07T11:00:00.000Z");
        try {
            AppendHistory(path, r);
            ADD_FAILURE() << "written past the lock";
        } catch (const HistoryError& e) {
            EXPECT_NE(std::string(e.what()).find("is locked by another program for more than 5 s"),
                      std::string::npos)
                << e.what();
        }
        EXPECT_GE(clock.NowMs(), HistoryDb::kBusyTimeoutMs);
        sqlite3_close(other);
    }
    if (!MakeReadOnly(path, true))
        GTEST_SKIP() << "the file system cannot make " << path << " read-only for root";
    struct Writable // also when the test fails: the folder must go
    {
        std::string Path;
        ~Writable() { MakeReadOnly(Path, false); }
    } writable{path};
    HistoryRecord r = SampleRecord("2026-12-07T11:00:00.000Z");
    try {
        AppendHistory(path, r);
        ADD_FAILURE() << "written into a read-only file";
    } catch (const HistoryError& e) {
        EXPECT_NE(std::string(e.what()).find("is read-only"), std::string::npos) << e.what();
    }
    EXPECT_EQ(HistoryDb(path, false).Verify().Records, 5u);
}

TEST(HistoryOutput, CsvQuotesCommasQuotesAndLineBreaks)
{
    HistoryRecord r = SampleRecord("2026-12-07T10:00:00.000Z");
    r.File = "/srv/fw/a,b \"new\".hex";
    r.Failure = "'ProgFlashPage' failed: Read timed out\nThe controller is left in its bootloader";
    r.Result = HistoryResult::Failed;
    const std::string csv = HistoryCsv({r});
    // Parse it back by the RFC's rules.
    std::vector<std::vector<std::string>> rows(1);
    std::string field;
    bool quoted = false;
    for (size_t i = 0; i < csv.size(); ++i) {
        const char c = csv[i];
        if (quoted && c == '"' && i + 1 < csv.size() && csv[i + 1] == '"')
            field += csv[++i];
        else if (c == '"')
            quoted = !quoted;
        else if (!quoted && c == ',')
            rows.back().push_back(std::exchange(field, {}));
        else if (!quoted && c == '\r' && csv[i + 1] == '\n') {
            rows.back().push_back(std::exchange(field, {}));
            rows.emplace_back();
            ++i;
        } else
            field += c;
    }
    rows.pop_back();
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0], HistoryFieldNames());
    ASSERT_EQ(rows[1].size(), rows[0].size());
    const auto col = [&](const std::string& name) {
        return rows[1][static_cast<size_t>(std::find(rows[0].begin(), rows[0].end(), name) -
                                           rows[0].begin())];
    };
    EXPECT_EQ(col("file"), *r.File);
    EXPECT_EQ(col("failure"), *r.Failure);
    EXPECT_EQ(col("result"), "failed");
    EXPECT_EQ(col("before"), "");
    EXPECT_EQ(col("dryRun"), "false");
}

TEST(HistoryOutput, DatesAreLocalDaysOrInstantsWithTheirOffset)
{
    ScopedEnv tz("TZ", "Europe/Berlin");
    ::tzset();
    struct Row
    {
        const char* Text;
        const char* From;
        const char* To;
    };
    const Row rows[] = {
        {"2026-12-07", "2026-12-06T23:00:00.000Z", "2026-12-07T23:00:00.000Z"},
        {"2026-07-01", "2026-06-30T22:00:00.000Z", "2026-07-01T22:00:00.000Z"},
        {"2026-03-29", "2026-03-28T23:00:00.000Z", "2026-03-29T22:00:00.000Z"}, // 23 hours
        {"2026-12-07T14:30+01:00", "2026-12-07T13:30:00.000Z", "2026-12-07T13:31:00.000Z"},
        {"2026-12-07T14:30:05Z", "2026-12-07T14:30:05.000Z", "2026-12-07T14:30:06.000Z"},
        {"2026-12-07T14:30", "2026-12-07T13:30:00.000Z", "2026-12-07T13:31:00.000Z"},
    };
    for (const Row& row : rows) {
        const auto range = ParseHistoryDate(row.Text);
        ASSERT_TRUE(range) << row.Text;
        EXPECT_EQ(range->From, row.From) << row.Text;
        EXPECT_EQ(range->To, row.To) << row.Text;
    }
    for (const char* bad : {"2026-02-30", "07.12.2026", "2026-12-07T25:00", "today"})
        EXPECT_FALSE(ParseHistoryDate(bad)) << bad;
    EXPECT_EQ(LocalText("2026-12-07T13:30:02.123Z"), "2026-12-07 14:30:02 +01:00");
    EXPECT_EQ(LocalText("2026-07-01T13:30:02.000Z"), "2026-07-01 15:30:02 +02:00");
}

namespace {

// A visit's records: two controllers, a component, a failure with text that
// must be escaped, from two files.
HistoryReportInfo VisitReport(const TempFolder& dir, std::vector<HistoryRecord>& records)
{
    const std::string a = (dir / "a.db").string(), b = (dir / "b.db").string();
    for (int i = 0; i < 12; ++i) {
        HistoryRecord r = SampleRecord(StrFormat("2026-12-07T%02d:%02d:00.000Z", 8 + i / 4, i * 4),
                                       i % 3 ? "0001" : "0002");
        r.Channel = i % 4;
        r.Sha256 = Sha256Hex(std::to_string(i));
        r.Before = {{"state", "application"}, {"application", {{"name", "IncuControlApp"}}}};
        r.After = {{"application", {{"name", "IncuControlApp"}, {"version", "4.2.1"}}}};
        if (i == 5) {
            r.Result = HistoryResult::Failed;
            r.Failure = "Download of block #3/97 failed: <Read timed out> & \"more\"\nThe "
                        "controller is left in its bootloader";
            r.Bootloader = true;
        }
        AppendHistory(i % 2 ? a : b, r);
    }
    std::vector<std::string> errors;
    records = ReadHistories({a, b}, {}, errors);
    HistoryReportInfo info;
    info.Host = "lab-pc-3";
    info.Program = "nxupdate-cli 0.5.3";
    info.From = "2026-12-07T00:00:00.000Z";
    info.To = "2026-12-08T00:00:00.000Z";
    info.Printed = "2026-12-07T17:00:00.000Z";
    for (const std::string& p : {a, b})
        info.Files.push_back({p, HistoryDb(p, false).Verify()});
    return info;
}

} // namespace

TEST(HistoryReport, IsWellFormedAndHoldsEveryRecordTheHeadsAndTheSignatures)
{
    TempFolder dir("report");
    std::vector<HistoryRecord> records;
    const HistoryReportInfo info = VisitReport(dir, records);
    ASSERT_EQ(records.size(), 12u);
    const std::string html = HistoryReportHtml(records, info);
    const std::string path = dir.Write("report.html", html);
    const RunResult lint = RunProgram("/usr/bin/xmllint", {"--noout", path});
    EXPECT_EQ(lint.Code, 0) << lint.Err;
    for (const HistoryRecord& r : records)
        EXPECT_NE(html.find(*r.Sha256), std::string::npos) << r.Start;
    for (const auto& f : info.Files)
        EXPECT_NE(html.find(f.Chain.Head), std::string::npos);
    EXPECT_NE(html.find("&lt;Read timed out&gt; &amp; &quot;more&quot;<br/>The controller"),
              std::string::npos);
    EXPECT_NE(html.find("Technician"), std::string::npos);
    EXPECT_NE(html.find("Laboratory"), std::string::npos);
    // Self-contained: nothing to fetch, nothing to run.
    for (const char* outside : {"<script", "src=", "href=", "url(", "@import"})
        EXPECT_EQ(html.find(outside), std::string::npos) << outside;
}

// Printed with a headless browser, where one is installed: A4 pages. Look at
// them with pdftoppm when the layout changes.
TEST(HistoryReport, PrintsOnA4)
{
    const char* browser = nullptr;
    for (const char* b : {"/usr/bin/chromium", "/usr/bin/chromium-browser"})
        if (::access(b, X_OK) == 0)
            browser = b;
    if (!browser)
        GTEST_SKIP() << "no headless browser (Debian's chromium) installed";
    TempFolder dir("print");
    std::vector<HistoryRecord> records;
    const std::string html =
        dir.Write("r.html", HistoryReportHtml(records, VisitReport(dir, records)));
    const std::string pdf = (dir / "r.pdf").string();
    const RunResult r =
        RunProgram(browser,
                   {"--headless", "--no-sandbox", "--disable-gpu", "--no-first-run",
                    "--disable-background-networking", "--disable-component-update",
                    "--disable-sync", "--user-data-dir=" + (dir / "profile").string(),
                    "--no-pdf-header-footer", "--print-to-pdf=" + pdf, "file://" + html},
                   RunOptions{{{"HOME", dir.String()},
                               {"XDG_RUNTIME_DIR", dir.String()},
                               {"XDG_CONFIG_HOME", dir.String()},
                               {"XDG_CACHE_HOME", dir.String()}},
                              "",
                              -1});
    ASSERT_TRUE(std::filesystem::exists(pdf)) << r.Err;
    const std::string bytes = ReadFile(pdf);
    // Each page's size is a MediaBox in points: A4 is 595.3 x 841.9.
    size_t pages = 0;
    for (size_t at = 0; (at = bytes.find("/MediaBox [0 0 ", at)) != std::string::npos; ++at) {
        ++pages;
        double w = 0, h = 0;
        ASSERT_EQ(std::sscanf(bytes.c_str() + at + 15, "%lf %lf", &w, &h), 2);
        EXPECT_NEAR(w, 595.3, 1.5);
        EXPECT_NEAR(h, 841.9, 1.5);
    }
    EXPECT_GE(pages, 1u);
    EXPECT_LE(pages, 3u); // twelve records fit on few pages
}
