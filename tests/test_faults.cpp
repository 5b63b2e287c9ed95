// Fault campaign: every exchange of every device sequence, run once clean to
// count its exchanges, then once per exchange and fault kind with that
// exchange hit. Each run must end with a message that names what failed (or
// with the same result as the clean run, when a retry recovered), within the
// specified timeouts, without temporary files, and with the device list
// still telling the truth about the bridge.
#include "Download/DownloadAction.h"
#include "Download/NxCmdTblLoader.h"
#include "Download/NxProgrammer.h"
#include "FilterInfo.h"
#include "NxClock.h"
#include "NxCmdDL.h"
#include "NxCmdSerialCom.h"
#include "NxCmdSts.h"
#include "NxCmdTable.h"
#include "NxCmdTbl.h"
#include "NxCmdVer.h"
#include "NxException.h"
#include "Sim/SimScenario.h"
#include "VersionInfo.h"
#include "support/CampaignFiles.h"
#include "support/SimRig.h"
#include "support/TempFolder.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <tuple>
#include <vector>

using Sim::SimFault;
using Sim::SimFaultKind;
namespace fs = std::filesystem;

namespace {

// ---- Names of requests, from the command classes themselves ----

// Command, relayed sub-command (-1 for others), access byte.
using Key = std::tuple<int, int, int>;

std::multimap<Key, std::string> CommandNames()
{
    std::multimap<Key, std::string> names;
    auto add = [&](const NxCmd& c) {
        const int sub = c.GetCmdNr() == kCmdRelay ? c.Payload()[1] : -1;
        names.insert({{c.GetCmdNr(), sub, c.GetBuffer()[4]}, c.GetName()});
    };
    NxCmdVer v;
    for (auto build :
         {&NxCmdVer::GetHwName, &NxCmdVer::GetHwVer, &NxCmdVer::GetBlName, &NxCmdVer::GetBlVer,
          &NxCmdVer::GetBlDate, &NxCmdVer::GetAppName, &NxCmdVer::GetAppVer, &NxCmdVer::GetAppDate,
          &NxCmdVer::GetTblName, &NxCmdVer::GetTblVer, &NxCmdVer::GetTblDate}) {
        (v.*build)();
        add(v);
    }
    add(NxCmdSts());
    NxCmdDL dl;
    dl.ResetToBootloader();
    add(dl);
    dl.ResetToApplication();
    add(dl);
    dl.ProgEraseFlash();
    add(dl);
    ProgBlock blk(0, 128);
    dl.ProgFlashPage(blk);
    add(dl);
    dl.ProgCheckSum(0);
    add(dl);
    NxCmdTbl t;
    t.TblName("x");
    add(t);
    t.TblVersion("x");
    add(t);
    t.TblDate("x");
    add(t);
    uint8_t rec[26] = {};
    t.TblPidParam(1, rec);
    add(t);
    uint8_t rec16[16] = {1, 2, 'a', 0};
    t.TblCompParamSet(1, rec16);
    add(t);
    NxCmdSerialCom s;
    for (auto build :
         {&NxCmdSerialCom::SerialComGetIdentifier, &NxCmdSerialCom::SerialComGetCapabilityFlag,
          &NxCmdSerialCom::SerialComGetApplicationName,
          &NxCmdSerialCom::SerialGetApplicationVersion,
          &NxCmdSerialCom::SerialComGetApplicationDate, &NxCmdSerialCom::SerialComGetStatusFlag,
          &NxCmdSerialCom::SerialComEnterBootloader, &NxCmdSerialCom::SerialComEnterApplication,
          &NxCmdSerialCom::SerialComGetHardwareVersion, &NxCmdSerialCom::SerialComBootloaderName,
          &NxCmdSerialCom::SerialComGetBootloaderVersion,
          &NxCmdSerialCom::SerialComGetBootloaderDate, &NxCmdSerialCom::SerialComGetSerialNumber,
          &NxCmdSerialCom::SerialComGetRuntime, &NxCmdSerialCom::SerialComSetFilterChange,
          &NxCmdSerialCom::SerialComGetFilterChange}) {
        (s.*build)(1);
        add(s);
    }
    s.SerialComProgErase(1, 0);
    add(s);
    ProgBlock page(0, 128);
    s.SerialComProgPage(1, page, 0, 0);
    add(s);
    return names;
}

// The names a failure at this request may carry: the two resets of the
// controller and of a component differ only in their payload, so either
// name is taken for them.
std::vector<std::string> NamesFor(const Sim::SimLogEntry& e)
{
    static const std::multimap<Key, std::string> names = CommandNames();
    std::vector<std::string> out;
    const auto range = names.equal_range({e.Cmd, e.Sub, e.Access});
    for (auto it = range.first; it != range.second; ++it)
        out.push_back(it->second);
    return out;
}

// ---- The sequences ----

struct Outcome
{
    bool Ok = false;
    std::string Message; // the text the user would see on failure
    std::string Result;  // what the user would see on success, as one text
};

class ProgRecorder : public IProg
{
public:
    void OnEraseStart() override {}
    void OnBlockProgress(const ProgBlock&, uint32_t, uint32_t) override {}
    void OnChecksum(uint32_t) override {}
    void OnFailure(const char* text) override { Failures.push_back(text); }
    void OnReset(bool) override {}
    std::vector<std::string> Failures;
};

struct Rig;
struct Sequence
{
    const char* Name;
    std::function<Outcome(Rig&)> Run;
    // Texts a failure may carry besides the failed request's name.
    std::vector<std::string> Summaries;
    // The sequence shrugs faults off by design and reports nothing (the probe).
    bool Tolerant = false;
};

// One bridge with the demo controller, a device list holding it, and the
// recorders; a fresh rig for every run.
struct Rig : SimRig
{
    explicit Rig(const fs::path& dir) : Dir(dir)
    {
        Events = std::make_unique<DevEventRecorder>();
        auto h = Install().front();
        Bridge = h.Device;
        Ctl = h.Controller;
    }
    ~Rig() { Events.reset(); }
    TNxDev& Dev() { return *list.GetDev(0); }

    fs::path Dir;
    std::unique_ptr<DevEventRecorder> Events;
    std::shared_ptr<Bridge::SimDevice> Bridge;
    std::shared_ptr<Sim::SimController> Ctl;
};

template <class F> Outcome Catching(F f)
{
    Outcome o;
    try {
        o.Result = f();
        o.Ok = true;
    } catch (const NxException& e) {
        o.Message = e.Message();
    }
    return o;
}

Outcome Download(Rig& r, int channel, const char* file)
{
    NxProgrammer prog(channel);
    int line = 0;
    EXPECT_EQ(prog.LoadFile((r.Dir / file).c_str(), line), 0);
    ProgRecorder rec;
    Outcome o;
    o.Ok = prog.Download(&r.Dev(), &rec);
    EXPECT_EQ(rec.Failures.size(), o.Ok ? 0u : 1u) << "one failure report per failed download";
    if (!rec.Failures.empty())
        o.Message = rec.Failures.front();
    if (o.Ok)
        o.Result = channel == 0 ? FlashState(*r.Ctl)
                                : ComponentState(*r.Ctl, static_cast<uint8_t>(channel));
    return o;
}

std::string ChannelTree(TNxDevList& list)
{
    std::string tree;
    for (size_t i = 0; i < list.Count(); ++i) {
        tree += list.GetDev(i)->GetSerial() + ":";
        int ch = 0;
        for (const auto& info : list.GetDev(i)->GetChannels())
            tree += " " + ChannelLabel(++ch, info);
    }
    return tree;
}

std::vector<Sequence> Sequences()
{
    std::vector<Sequence> s;
    s.push_back({"ControllerDownload",
                 [](Rig& r) { return Download(r, 0, "controller.hex"); },
                 {"Download of block #"}});
    s.push_back({"ChannelDownload",
                 [](Rig& r) { return Download(r, 1, "component.hex"); },
                 {"Download of block #"}});
    s.push_back({"TableUpdate",
                 [](Rig& r) {
                     return Catching([&] {
                         NxTblLoader loader(&r.Dev(), TablesFile().c_str(), nullptr);
                         loader.Update();
                         return TableState(*r.Ctl);
                     });
                 },
                 {"Parameter table update failed"}});
    s.push_back({"ControllerVersion",
                 [](Rig& r) {
                     return Catching(
                         [&] { return FormatVersionReport(ReadVersionInfo(r.Dev(), 0)); });
                 },
                 {}});
    s.push_back({"ComponentVersion",
                 [](Rig& r) {
                     return Catching(
                         [&] { return FormatVersionReport(ReadVersionInfo(r.Dev(), 1)); });
                 },
                 {kNoComponentAnswer}});
    s.push_back({"FilterReset",
                 [](Rig& r) {
                     return Catching(
                         [&] { return FormatFilterText(ResetFilterCounter(r.Dev(), 1)); });
                 },
                 {}});
    s.push_back({"ComponentReset",
                 [](Rig& r) {
                     return Catching([&] {
                         ResetToApplication(r.Dev(), 1);
                         return std::string("reset");
                     });
                 },
                 {}});
    s.push_back({"DeviceProbe",
                 [](Rig& r) {
                     Outcome o;
                     r.list.Update();
                     o.Ok = true;
                     o.Result = ChannelTree(r.list);
                     return o;
                 },
                 {},
                 true});
    s.push_back({"DatDownload",
                 [](Rig& r) {
                     class Ui : public NxDownloadUi
                     {
                     public:
                         void ShowProgress(const std::string&, std::optional<unsigned>) override {}
                     } ui;
                     return Catching([&] {
                         RunDownload(r.list, ui, "0001", 0, (r.Dir / "bundle.dat").string());
                         return StrFormat("flash %08X valid %d tables %zu", r.Ctl->FlashSum(),
                                          r.Ctl->ImageValid(), r.Ctl->TableRecords().size());
                     });
                 },
                 {"Download of block #", "Parameter table update failed"}});
    return s;
}

// ---- The campaign ----

struct Param
{
    size_t Seq;
    SimFaultKind Kind;
};

const char* KindName(SimFaultKind k)
{
    switch (k) {
    case SimFaultKind::NoReply:
        return "NoReply";
    case SimFaultKind::BadChecksum:
        return "BadChecksum";
    case SimFaultKind::Reject:
        return "Reject";
    case SimFaultKind::Garbage:
        return "Garbage";
    case SimFaultKind::Unplug:
        return "Unplug";
    case SimFaultKind::Late:
        return "Late";
    }
    return "?";
}

// The longest reply timeout and pause any sequence may use, and its most attempts.
constexpr uint64_t kMaxWaitMs = 10000;
constexpr uint64_t kRetryAllowanceMs = 5 * (kMaxWaitMs + 1500);

class FaultCampaign : public ::testing::TestWithParam<Param>
{
protected:
    void SetUp() override { WriteCampaignFiles(dir); }

    // Every file in this test's temporary folder.
    std::set<std::string> TempFiles() const
    {
        std::set<std::string> out;
        for (const auto& e : fs::directory_iterator(tmp.Dir.Path()))
            out.insert(e.path().string());
        return out;
    }

    // Runs the sequence on a rig; the probe sequence starts with an empty list.
    Outcome RunOn(Rig& r, const Sequence& seq, const SimFault* fault)
    {
        if (!seq.Tolerant) {
            r.list.Update();
            EXPECT_EQ(r.list.Count(), 1u);
        }
        r.Ctl->ClearLog();
        r.clock.Clear();
        if (fault)
            r.Ctl->AddFault(*fault);
        return seq.Run(r);
    }

    TempFolder dir{"faults"};
    // The action's temporary files go to a folder of this test alone, so
    // other tests running beside it cannot blur the count.
    PrivateTmp tmp;
};

TEST_P(FaultCampaign, EveryExchange)
{
    const Sequence seq = Sequences()[GetParam().Seq];
    SCOPED_TRACE(seq.Name);

    // A clean run fixes the number of exchanges, the result and the time.
    size_t exchanges = 0;
    Outcome clean;
    uint64_t cleanMs = 0;
    std::vector<TNxDev::NxChannelInfo> cleanChannels;
    {
        Rig r(dir);
        clean = RunOn(r, seq, nullptr);
        ASSERT_TRUE(clean.Ok) << clean.Message;
        ASSERT_TRUE(r.sink.Shown.empty());
        exchanges = r.Ctl->Log().size();
        cleanMs = r.clock.NowMs();
        cleanChannels = r.Dev().GetChannels();
    }
    ASSERT_GT(exchanges, 0u);
    RecordProperty("exchanges", static_cast<int>(exchanges));

    const std::set<std::string> tempBefore = TempFiles();
    for (size_t k = 1; k <= exchanges; ++k) {
        SCOPED_TRACE(
            StrFormat("%s at exchange %zu of %zu", KindName(GetParam().Kind), k, exchanges));
        Rig r(dir);
        SimFault f;
        f.Kind = GetParam().Kind;
        f.From = static_cast<unsigned>(k);
        const Outcome o = RunOn(r, seq, &f);
        const auto& log = r.Ctl->Log();
        ASSERT_GE(log.size(), k) << "the faulted exchange was never reached";
        const Sim::SimLogEntry hit = log[k - 1];
        const bool unplugged = !r.Bridge->IsPlugged();

        // A probe may lose channels and values to a fault, but what it lists
        // is what the components said: a failed reply never becomes data.
        if (seq.Tolerant && r.list.Count() == 1) {
            const auto& got = r.Dev().GetChannels();
            ASSERT_LE(got.size(), cleanChannels.size());
            for (size_t c = 0; c < got.size(); ++c) {
                const auto& want = cleanChannels[c];
                EXPECT_TRUE(got[c].Identifier == want.Identifier || got[c].Identifier == 0);
                EXPECT_TRUE(got[c].CapabilityFlag == want.CapabilityFlag ||
                            got[c].CapabilityFlag == 0);
                EXPECT_TRUE(got[c].SerialNumber == want.SerialNumber ||
                            got[c].SerialNumber.empty());
            }
        }

        if (o.Ok) {
            // Only a retry may recover, and it must deliver the clean result.
            if (!seq.Tolerant) {
                EXPECT_EQ(o.Result, clean.Result) << "success reported for a changed result";
            }
            EXPECT_FALSE(unplugged && !seq.Tolerant) << "success reported after an unplug";
        } else {
            bool named = false;
            for (const std::string& n : NamesFor(hit))
                named = named || o.Message.find("'" + n + "' failed: ") != std::string::npos;
            for (const std::string& s : seq.Summaries)
                named = named || o.Message.find(s) != std::string::npos;
            EXPECT_TRUE(named) << "message \"" << o.Message << "\" for a fault at command "
                               << int(hit.Cmd) << " sub " << hit.Sub;
        }
        if (!seq.Tolerant) {
            EXPECT_TRUE(r.sink.Shown.empty()) << r.sink.Shown.front().Text;
        }

        // No wait beyond the longest specified one, and no endless retrying.
        for (const auto& e : r.clock.Events())
            EXPECT_LE(e.Ms, kMaxWaitMs);
        EXPECT_LE(r.clock.NowMs(), cleanMs + kRetryAllowanceMs);
        EXPECT_LE(log.size(), exchanges + 8);

        // The list follows the bridge: gone after an unplug, else still there
        // and still talking once the fault is over.
        r.Ctl->ClearFaults();
        r.list.Update();
        if (unplugged) {
            EXPECT_EQ(r.list.Count(), 0u);
            if (!seq.Tolerant) {
                EXPECT_EQ(r.Events->Events.back(), "removed 0001");
            }
        } else {
            ASSERT_EQ(r.list.Count(), 1u);
            NxCmdSts sts;
            EXPECT_TRUE(r.Dev().Execute(sts, 2500)) << sts.GetErrMsg();
            for (const std::string& e : r.Events->Events)
                EXPECT_EQ(e.rfind("removed", 0), std::string::npos) << e;
        }
        EXPECT_EQ(TempFiles(), tempBefore) << "temporary files left behind";
    }
}

std::vector<Param> AllParams()
{
    std::vector<Param> out;
    for (size_t s = 0; s < Sequences().size(); ++s)
        for (SimFaultKind k :
             {SimFaultKind::NoReply, SimFaultKind::BadChecksum, SimFaultKind::Reject,
              SimFaultKind::Garbage, SimFaultKind::Unplug, SimFaultKind::Late})
            out.push_back({s, k});
    return out;
}

INSTANTIATE_TEST_SUITE_P(Sequences, FaultCampaign, ::testing::ValuesIn(AllParams()),
                         [](const ::testing::TestParamInfo<Param>& i) {
                             return std::string(Sequences()[i.param.Seq].Name) +
                                    KindName(i.param.Kind);
                         });

} // namespace
