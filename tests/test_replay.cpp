// The replaying device against the host's link: a recorded session with
// every kind of ending plays back to the same log lines and outcomes; a
// request that differs is reported and then stops (strict) or skips ahead
// (lenient); wire time keeps the recorded gaps.
#include "NxCmdSts.h"
#include "NxException.h"
#include "Sim/SimBackend.h"
#include "Sim/SimReplayDevice.h"
#include "support/LinkFixture.h"

#include <filesystem>

namespace fs = std::filesystem;

namespace {

// The host's side of one session: eight exchanges, one of each ending. When
// faults is given (recording), the bridge is told to fail where the replay
// must reproduce it by itself.
std::vector<std::string> Session(NxCom& com, Bridge::SimDevice* faults, Bridge::ScriptPeer* peer)
{
    std::vector<std::string> outcomes;
    const auto run = [&](NxCmd& cmd, uint32_t timeout) {
        const bool ok = com.Execute(cmd, timeout);
        outcomes.push_back(cmd.GetName() + (ok ? ": ok" : ": " + cmd.GetErrMsg()));
    };
    const auto queue = [&](Bytes reply) {
        if (peer)
            peer->Queue(std::move(reply));
    };
    NxCmdSts sts;
    queue({0xF0, 0x01, 0x14, 0x00, 0x52, 0x80, 0xE6, 0x00}); // bootloader
    run(sts, 100);
    queue({0xF0, 0x02, 0x14, 0x00, 0x52, 0x00, 0xF0, 0xF0, 0x56, 0x01}); // stuffed pair
    sts.DeviceStatus();
    run(sts, 100);
    queue({0xF0, 0x01, 0x14}); // cut short: read timed out
    sts.DeviceStatus();
    run(sts, 2500);
    queue({0x55, 0xAA, 0x00, 0x12, 0x34}); // SOF missing
    sts.DeviceStatus();
    run(sts, 100);
    if (faults) {
        faults->WriteFailures = 1;
        faults->WriteStatus = Bridge::kDeviceIoFailed;
    }
    NxCmd app(9, "GetAppName", 0, NX_ACCESS_READ, nullptr, 0);
    run(app, 2500);
    if (faults) {
        faults->ReadFailures = 1;
        faults->ReadStatus = Bridge::kReadError;
    }
    queue({0xF0, 0x04});
    app.Setup(9, "GetAppName", 0, NX_ACCESS_READ, nullptr, 0);
    run(app, 2500);
    queue({0xF0, 0x01, 0x00, 0x00, 0x52, 0x05, 0x57, 0x00}); // rejected with 0x05
    app.Setup(9, "GetAppName", 0, NX_ACCESS_READ, nullptr, 0);
    run(app, 2500);
    queue({}); // silence
    sts.DeviceStatus();
    run(sts, 1000);
    return outcomes;
}

// The shortest complete exchange: a write that failed.
const char* const kFailedWrite =
    "12:00:00.000: --- SEND: CmdNr=20; CmdName='DeviceStatus'; Timeout=100\n"
    "12:00:00.000: Writing...\n"
    "12:00:00.000: Write failed, error code = 8\n";

// A log without its time stamps ("12:34:56.789: " at the start of a line).
std::string Unstamped(const std::string& log)
{
    std::string out;
    for (size_t pos = 0; pos < log.size();) {
        size_t end = log.find('\n', pos);
        end = end == std::string::npos ? log.size() : end + 1;
        const bool stamped = end - pos > 14 && log[pos + 2] == ':' && log[pos + 12] == ':';
        const size_t from = stamped ? pos + 14 : pos;
        out.append(log, from, end - from);
        pos = end;
    }
    return out;
}

class ReplayTest : public LinkFixture
{
protected:
    void SetUp() override
    {
        LinkFixture::SetUp();
        OpenLink();
        com.OpenTrace((dir / "NxComLog_0.txt").string());
        recorded = Session(com, dev.get(), peer.get());
        com.CloseTrace();
        recordedLog = ReadFile(dir / "NxComLog_0.txt");
        Bridge::SetLib(&replayLib);
    }
    void TearDown() override { Bridge::SetLib(&lib); }

    // A log as a replaying bridge of replayLib (the recorded one by default).
    std::shared_ptr<Sim::SimReplayDevice> Install(bool lenient, bool restart = false,
                                                  const std::string& log = "NxComLog_0.txt")
    {
        auto devices = Sim::InstallReplay(
            replayLib, (dir / log).string(),
            {lenient, false, [this](const std::string& line) { reports.push_back(line); }, false,
             restart});
        return devices.back();
    }

    // A 139-byte page request: payload bytes 0, 1, 2, ..., one changed when asked.
    static NxCmd Page(int changed = -1)
    {
        uint8_t payload[132];
        for (int i = 0; i < 132; ++i)
            payload[i] = static_cast<uint8_t>(i == changed ? 0xEE : i);
        return NxCmd(3, "ProgFlashPage", 0, NX_ACCESS_WRITE, payload, sizeof payload);
    }
    // Records "DeviceStatus" and a page into NxComLog_1.txt; returns the log.
    std::string RecordPage()
    {
        com.OpenTrace((dir / "NxComLog_1.txt").string());
        peer->Queue({0xF0, 0x01, 0x14, 0x00, 0x52, 0x00, 0x66, 0x00});
        NxCmdSts sts;
        EXPECT_TRUE(com.Execute(sts, 100));
        peer->Queue({0xF0, 0x00, 0x03, 0x00, 0x57, 0x5A, 0x00});
        NxCmd page = Page();
        EXPECT_TRUE(com.Execute(page, 2500));
        com.CloseTrace();
        return ReadFile(dir / "NxComLog_1.txt");
    }

    TempFolder dir{"replay"};
    std::vector<std::string> recorded;
    std::string recordedLog;
    Bridge::SimBridgeLib replayLib;
    std::vector<std::string> reports;
};

} // namespace

TEST_F(ReplayTest, PlaysEveryKindOfEndingBackToTheSameLogAndOutcomes)
{
    EXPECT_EQ(recorded, (std::vector<std::string>{
                            "DeviceStatus: ok", "DeviceStatus: ok", "DeviceStatus: Read timed out",
                            "DeviceStatus: SOF missing", "GetAppName: Device IO Failed",
                            "GetAppName: Read error", "GetAppName: Frame '0x05' error",
                            "DeviceStatus: Read timed out"}));
    auto replay = Install(false);
    const auto& d = *replayLib.Devices().at(0);
    EXPECT_EQ(d.Serial, "replay-0");
    EXPECT_EQ(d.Description, "Replay NxComLog_0.txt");
    EXPECT_EQ(d.VidText + ":" + d.PidText, "10C4:EA60");

    NxCom again(0);
    ASSERT_EQ(again.Open(), 0);
    again.OpenTrace((dir / "NxComLog_replayed.txt").string());
    EXPECT_EQ(Session(again, nullptr, nullptr), recorded);
    again.CloseTrace();
    EXPECT_EQ(Unstamped(ReadFile(dir / "NxComLog_replayed.txt")), Unstamped(recordedLog));
    EXPECT_EQ(replay->Answered(), 8u);
    EXPECT_TRUE(reports.empty()) << reports.at(0);
    EXPECT_TRUE(clock.Sleeps().empty());
}

TEST_F(ReplayTest, StrictReplayReportsTheFirstDifferenceAndThenAnswersNothing)
{
    auto replay = Install(false);
    NxCom host(0);
    ASSERT_EQ(host.Open(), 0);
    NxCmdSts sts;
    EXPECT_TRUE(host.Execute(sts, 100));
    NxCmd other(4, "GetHwName", 0, NX_ACCESS_READ, nullptr, 0);
    EXPECT_FALSE(host.Execute(other, 2500));
    EXPECT_EQ(other.GetErrMsg(), "Read timed out");
    EXPECT_EQ(reports,
              (std::vector<std::string>{
                  "replay-0: the request differs from exchange 2 of 8 ('DeviceStatus' at "
                  "12:34:56.789, NxComLog_0.txt line 9)",
                  "  they differ from byte 2 on", "  expected: F0 00 14 00 52 66 00",
                  "  received: F0 00 04 00 52 56 00", "replay-0: answering nothing from here on"}));
    // The recorded request itself gets no answer any more.
    sts.DeviceStatus();
    EXPECT_FALSE(host.Execute(sts, 100));
    EXPECT_TRUE(replay->Stopped());
    EXPECT_EQ(replay->Mismatches(), 1u);
}

TEST_F(ReplayTest, LenientReplayLooksAheadForTheNextMatchingRequest)
{
    auto replay = Install(true);
    NxCom host(0);
    ASSERT_EQ(host.Open(), 0);
    // A request the recording never saw: reported, unanswered, nothing skipped.
    NxCmd other(4, "GetHwName", 0, NX_ACCESS_READ, nullptr, 0);
    EXPECT_FALSE(host.Execute(other, 2500));
    EXPECT_EQ(replay->Next(), 0u);
    EXPECT_EQ(reports.back(), "replay-0: no later exchange has this request; it stays unanswered");
    // "GetAppName" first: exchange 5's failed write is not a request to match,
    // so exchange 6 answers (and its read fails as recorded).
    reports.clear();
    NxCmd app(9, "GetAppName", 0, NX_ACCESS_READ, nullptr, 0);
    EXPECT_FALSE(host.Execute(app, 2500));
    EXPECT_EQ(app.GetErrMsg(), "Read error");
    ASSERT_EQ(reports.size(), 5u);
    EXPECT_EQ(reports[4], "replay-0: going on at exchange 6 of 8 ('GetAppName' at 12:34:56.789, "
                          "NxComLog_0.txt line 34), the next one with this request");
    EXPECT_EQ(replay->Next(), 6u);
    EXPECT_FALSE(replay->Stopped());
}

// The gap from the written request to the first complete read, also across
// midnight, and never more than the request's timeout: slept, or (for a
// server of several bridges) waited for as a late reply.
TEST_F(ReplayTest, WireTimeKeepsTheRecordedGaps)
{
    std::string log;
    for (const char* stamps :
         {"12:00:00.001 12:00:00.043", "23:59:59.990 00:00:00.020", "12:00:00.001 12:00:07.000"})
        log += "12:00:00.000: --- SEND: CmdNr=20; CmdName='DeviceStatus'; Timeout=100\n"
               "12:00:00.000: Writing...\n" +
               std::string(stamps, 12) + ": SI_Write:         F0 00 14 00  52 66 00 [...]\n" +
               "12:00:00.001: Reading...\n" + std::string(stamps + 13, 12) +
               ": SI_Read:          F0 01 14 00  52 [.....]\n"
               "12:00:00.043: Reading...\n"
               "12:00:00.044: SI_Read:          00 66 00 [...]\n";
    dir.Write("NxComLog_7.txt", log);
    for (const int mode : {0, 1, 2}) {
        const bool wireTime = mode > 0, late = mode == 2;
        Bridge::SimBridgeLib lib2;
        Bridge::SetLib(&lib2);
        Sim::InstallReplay(lib2, (dir / "NxComLog_7.txt").string(), {false, wireTime, {}, late});
        EXPECT_EQ(lib2.Devices().at(0)->Serial, "replay-7");
        clock.Clear();
        NxCom host(0);
        ASSERT_EQ(host.Open(), 0);
        for (int i = 0; i < 3; ++i) {
            NxCmdSts sts;
            EXPECT_TRUE(host.Execute(sts, 100));
        }
        const std::vector<uint32_t> gaps = {42, 30, 100};
        std::vector<uint32_t> waits;
        for (const VirtualClock::Event& e : clock.Events())
            if (e.What == VirtualClock::Kind::Wait)
                waits.push_back(e.Ms);
        EXPECT_EQ(clock.Sleeps(), mode == 1 ? gaps : std::vector<uint32_t>{});
        EXPECT_EQ(waits, late ? gaps : std::vector<uint32_t>{});
        host.Close();
        Bridge::SetLib(&replayLib);
    }
}

// A request arriving in pieces (as through a pseudo-terminal) is one request;
// requests after the recording's end are reported once.
TEST_F(ReplayTest, RequestsInPiecesAndBeyondTheEnd)
{
    auto replay = Install(false);
    auto& d = *replayLib.Devices().at(0);
    const Bytes status = {0xF0, 0x00, 0x14, 0x00, 0x52, 0x66, 0x00};
    replay->OnHostWrite(d, status.data(), 3);
    EXPECT_EQ(d.Pending(), 0u);
    replay->OnHostWrite(d, status.data() + 3, 4);
    EXPECT_EQ(d.Pending(), 8u);

    const Sim::SimComLog one = Sim::ParseComLog(kFailedWrite, "short.txt");
    Bridge::SimDevice dev2("x", "y");
    Sim::SimReplayDevice past(
        one, "replay-9", {false, false, [this](const std::string& l) { reports.push_back(l); }});
    for (int i = 0; i < 3; ++i)
        past.OnHostWrite(dev2, status.data(), status.size());
    EXPECT_EQ(reports.size(), 4u); // the difference (3 lines) and the stop
    EXPECT_EQ(reports[1], "  expected: (not in the log)");

    reports.clear();
    Sim::SimReplayDevice atEnd(
        Sim::SimComLog{"e.txt", {}, {}}, "replay-1",
        {false, false, [this](const std::string& l) { reports.push_back(l); }});
    atEnd.OnHostWrite(dev2, status.data(), status.size());
    atEnd.OnHostWrite(dev2, status.data(), status.size());
    EXPECT_EQ(reports, (std::vector<std::string>{"replay-1: a request after the last of the 0 "
                                                 "recorded exchanges: F0 00 14 00 52 66 00"}));
}

// A difference deep in a long request shows the bytes around it from both
// sides; a log cut inside a hex dump replays up to its last complete exchange
// and says so instead of finding a difference.
TEST_F(ReplayTest, ADifferenceShowsItsNeighbourhoodAndACutLogItsEnd)
{
    const std::string log = RecordPage();
    auto replay = Install(false, false, "NxComLog_1.txt");
    NxCom host(0);
    ASSERT_EQ(host.Open(), 0);
    NxCmdSts sts;
    EXPECT_TRUE(host.Execute(sts, 100));
    NxCmd page = Page(64); // payload byte 64 is frame byte 69
    EXPECT_FALSE(host.Execute(page, 2500));
    const auto row = [](int from, int to, int changed) {
        std::string hex;
        for (int i = from; i <= to; ++i)
            hex += StrFormat(i > from ? " %02X" : "%02X", i - 5 == changed ? 0xEE : i - 5);
        return hex;
    };
    ASSERT_EQ(reports.size(), 5u);
    EXPECT_EQ(reports[1], "  they differ from byte 69 on");
    EXPECT_EQ(reports[2], "  expected, bytes 53 to 117 of 139: " + row(53, 117, -1));
    EXPECT_EQ(reports[3], "  received, bytes 53 to 117 of 139: " + row(53, 117, 64));

    // Cut after the first line of the page's dump.
    const size_t dump = log.find("SI_Write", log.find("ProgFlashPage"));
    dir.Write("NxComLog_2.txt", log.substr(0, log.find('\n', dump) + 1));
    reports.clear();
    replay = Install(false, false, "NxComLog_2.txt");
    const std::string cut = "the log is cut short inside exchange 2 ('ProgFlashPage' at "
                            "12:34:56.789, line 9), in the hex dump of its request; its last "
                            "complete exchange is exchange 1 of 1 ('DeviceStatus' at "
                            "12:34:56.789, NxComLog_2.txt line 1)";
    EXPECT_EQ(replay->Extent(), "1 recorded exchange; " + cut);
    Bridge::SetLib(&replayLib);
    NxCom again(1);
    ASSERT_EQ(again.Open(), 0);
    sts.DeviceStatus();
    EXPECT_TRUE(again.Execute(sts, 100));
    page = Page();
    EXPECT_FALSE(again.Execute(page, 2500));
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(reports[0].rfind("replay-2: a request after the last of the 1 recorded exchange; " +
                                   cut + ": F0 84 03 00 57",
                               0),
              0u)
        << reports[0];
    EXPECT_EQ(replay->Mismatches(), 0u);
    EXPECT_TRUE(replay->Diverged());
}

// The recorded session, which ends its exchanges in every way the host
// can, cut after each of its lines: the exchanges that end before the cut are
// read (a missing "--- RESP" line loses no byte), and only a cut between two
// exchanges is no cut at all.
TEST_F(ReplayTest, ALogCutAfterAnyLineKeepsItsCompleteExchanges)
{
    std::vector<size_t> ends; // offset after each line
    for (size_t pos = 0; pos < recordedLog.size(); pos = ends.back())
        ends.push_back(recordedLog.find('\n', pos) + 1);
    const auto upTo = [&](size_t line) { return recordedLog.substr(0, ends[line - 1]); };
    const Sim::SimComLog whole = Sim::ParseComLog(recordedLog, "x");
    ASSERT_EQ(whole.Exchanges.size(), 8u);
    std::vector<size_t> last, done; // of each exchange: its last line, the line it is whole from
    for (size_t k = 1; k <= 8; ++k) {
        last.push_back(k < 8 ? static_cast<size_t>(whole.Exchanges[k].Line) - 1 : ends.size());
        const bool resp =
            upTo(last.back()).find("--- RESP", ends[last.back() - 2]) != std::string::npos;
        done.push_back(last.back() - (resp ? 1 : 0));
    }
    for (size_t line = 1; line <= ends.size(); ++line) {
        SCOPED_TRACE("cut after line " + std::to_string(line));
        const auto complete = static_cast<size_t>(
            std::count_if(done.begin(), done.end(), [&](size_t l) { return l <= line; }));
        if (complete == 0) {
            EXPECT_THROW(Sim::ParseComLog(upTo(line), "x"), NxException);
            continue;
        }
        const Sim::SimComLog log = Sim::ParseComLog(upTo(line), "x");
        EXPECT_EQ(log.Exchanges.size(), complete);
        EXPECT_EQ(log.CutShort.empty(), line == done[complete - 1] || line == last[complete - 1])
            << log.CutShort;
    }
}

// The program under test run again: the log's first request after the last
// exchange, or after a strict replay stopped, starts the log over.
TEST_F(ReplayTest, TheFirstRequestAgainStartsTheLogOver)
{
    auto replay = Install(false, true);
    NxCom host(0);
    ASSERT_EQ(host.Open(), 0);
    EXPECT_EQ(Session(host, nullptr, nullptr), recorded);
    NxCmdSts sts;
    EXPECT_TRUE(host.Execute(sts, 100));
    NxCmd other(4, "GetHwName", 0, NX_ACCESS_READ, nullptr, 0);
    EXPECT_FALSE(host.Execute(other, 2500));
    EXPECT_TRUE(replay->Stopped());
    EXPECT_EQ(Session(host, nullptr, nullptr), recorded);
    ASSERT_EQ(reports.size(), 7u);
    EXPECT_EQ(reports[0],
              "replay-0: the log's first request again: starting over at exchange 1 (run 2)");
    EXPECT_EQ(reports[6],
              "replay-0: the log's first request again: starting over at exchange 1 (run 3)");
    EXPECT_EQ(replay->Runs(), 3u);
    EXPECT_EQ(replay->Answered(), 8u);
    EXPECT_TRUE(replay->Diverged());
}

TEST(ReplayInstall, AFolderReplaysAsSeveralBridgesAndRefusesBadLogsWhole)
{
    TempFolder dir("replay_folder");
    const std::string log = kFailedWrite;
    for (const char* f : {"NxComLog_1.txt", "NxComLog_0-4711.txt", "NxComLog_0.txt"})
        dir.Write(f, log);
    dir.Write("readme.txt", "not a log");
    Bridge::SimBridgeLib lib;
    Sim::InstallReplay(lib, dir.String(), {});
    std::vector<std::string> serials;
    for (const auto& d : lib.Devices())
        serials.push_back(d->Serial);
    EXPECT_EQ(serials, (std::vector<std::string>{"replay-0", "replay-0-4711", "replay-1"}));

    dir.Write("NxComLog_2.txt", log + "garbage\n");
    Bridge::SimBridgeLib lib2;
    try {
        Sim::InstallReplay(lib2, dir.String(), {});
        ADD_FAILURE() << "a bad log was installed";
    } catch (const NxException& e) {
        EXPECT_NE(std::string(e.what()).find("NxComLog_2.txt line 4: expected a time stamp"),
                  std::string::npos)
            << e.what();
    }
    EXPECT_TRUE(lib2.Devices().empty());
    fs::remove(dir / "NxComLog_2.txt");

    // A log written where it would empty the one being replayed is refused.
    CAppCfg::Instance().SetComLog(true, dir.String());
    EXPECT_THROW(Sim::SimBackend((dir / "NxComLog_0.txt").string()), NxException);
    TempFolder elsewhere("replay_logs");
    CAppCfg::Instance().SetComLog(true, elsewhere.String());
    EXPECT_NO_THROW(Sim::SimBackend((dir / "NxComLog_0.txt").string()));
    CAppCfg::DestroyInstance();
    EXPECT_EQ(ReadFile(dir / "NxComLog_0.txt"), log);

    TempFolder empty("replay_empty");
    EXPECT_THROW(Sim::InstallReplay(lib2, empty.String(), {}), NxException);

    // What --simulate makes of files that are neither a log nor a scenario.
    const std::pair<const char*, const char*> files[] = {
        {"", "is empty: neither a communication log nor a scenario"},
        {" \n\t\r\n", "is empty: neither a communication log nor a scenario"},
        {"[1, 2]\n", "is neither a communication log nor a scenario: line 1 is not a time "
                     "stamp and the file is not a JSON object (it begins '[1, 2]')"},
    };
    for (const auto& [text, error] : files) {
        const std::string file = dir.Write("other.txt", text);
        try {
            Sim::SimBackend backend(file);
            ADD_FAILURE() << "read: '" << text << "'";
        } catch (const NxException& e) {
            EXPECT_EQ(e.what(), file + " " + error);
        }
    }
}
