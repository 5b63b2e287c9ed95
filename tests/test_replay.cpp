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

    // The recorded log as a replaying bridge of replayLib.
    std::shared_ptr<Sim::SimReplayDevice> Install(bool lenient, bool wireTime = false)
    {
        auto devices = Sim::InstallReplay(
            replayLib, (dir / "NxComLog_0.txt").string(),
            {lenient, wireTime, [this](const std::string& line) { reports.push_back(line); }});
        return devices.at(0);
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
    ASSERT_EQ(reports.size(), 4u);
    EXPECT_EQ(reports[0], "replay-0: the request differs from exchange 2 of 8 ('DeviceStatus' at "
                          "12:34:56.789, NxComLog_0.txt line 9)");
    EXPECT_EQ(reports[1], "  expected: F0 00 14 00 52 66 00");
    EXPECT_EQ(reports[2], "  received: F0 00 04 00 52 56 00");
    EXPECT_EQ(reports[3], "replay-0: answering nothing from here on");
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
    ASSERT_EQ(reports.size(), 4u);
    EXPECT_EQ(reports[3], "replay-0: going on at exchange 6 of 8 ('GetAppName' at 12:34:56.789, "
                          "NxComLog_0.txt line 34), the next one with this request");
    EXPECT_EQ(replay->Next(), 6u);
    EXPECT_FALSE(replay->Stopped());
}

// The gap from the written request to the first complete read, also across
// midnight, and never more than the request's timeout.
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
    for (const bool wireTime : {false, true}) {
        Bridge::SimBridgeLib lib2;
        Bridge::SetLib(&lib2);
        Sim::InstallReplay(lib2, (dir / "NxComLog_7.txt").string(), {false, wireTime, {}});
        EXPECT_EQ(lib2.Devices().at(0)->Serial, "replay-7");
        clock.Clear();
        NxCom host(0);
        ASSERT_EQ(host.Open(), 0);
        for (int i = 0; i < 3; ++i) {
            NxCmdSts sts;
            EXPECT_TRUE(host.Execute(sts, 100));
        }
        const std::vector<uint32_t> gaps = {42, 30, 100};
        EXPECT_EQ(clock.Sleeps(), wireTime ? gaps : std::vector<uint32_t>{});
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

    const Sim::SimComLog one = Sim::ParseComLog(
        "12:00:00.000: --- SEND: CmdNr=20; CmdName='DeviceStatus'; Timeout=100\n", "short.txt");
    Bridge::SimDevice dev2("x", "y");
    Sim::SimReplayDevice past(
        one, "replay-9", {false, false, [this](const std::string& l) { reports.push_back(l); }});
    for (int i = 0; i < 3; ++i)
        past.OnHostWrite(dev2, status.data(), status.size());
    EXPECT_EQ(reports.size(), 4u); // the difference (3 lines) and the stop
    EXPECT_EQ(reports[1], "  expected: (not in the log)");

    reports.clear();
    Sim::SimReplayDevice atEnd(
        Sim::SimComLog{"e.txt", {}}, "replay-1",
        {false, false, [this](const std::string& l) { reports.push_back(l); }});
    atEnd.OnHostWrite(dev2, status.data(), status.size());
    atEnd.OnHostWrite(dev2, status.data(), status.size());
    EXPECT_EQ(reports, (std::vector<std::string>{"replay-1: a request after the last of the 0 "
                                                 "recorded exchanges: F0 00 14 00 52 66 00"}));
}

TEST(ReplayInstall, AFolderReplaysAsSeveralBridgesAndRefusesBadLogsWhole)
{
    TempFolder dir("replay_folder");
    const std::string log =
        "12:00:00.000: --- SEND: CmdNr=20; CmdName='DeviceStatus'; Timeout=100\n";
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
        EXPECT_NE(std::string(e.what()).find("NxComLog_2.txt line 2: expected a time stamp"),
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
}
