// Soak: downloads and table updates in a row against one simulated controller
// that lives through all of them, most runs with a fault at a random exchange
// (fixed seed). After every run the device list tells the truth about the
// bridge, no temporary file is left, and success is reported only when the
// device holds what was sent. Every 100 runs the process's open descriptors
// and resident memory are sampled; neither may grow.
// NX_SOAK_RUNS (default 50) and NX_SOAK_SEED change the count and the seed;
// tools/soak runs 1,000 in a normal build.
#include "Download/DownloadAction.h"
#include "NxClock.h"
#include "NxCmdSts.h"
#include "NxException.h"
#include "Sim/SimScenario.h"
#include "support/CampaignFiles.h"
#include "support/ProcessUsage.h"
#include "support/SimRig.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <random>
#include <utility>
#include <vector>

using Sim::SimFault;
using Sim::SimFaultKind;

namespace {

unsigned EnvOr(const char* name, unsigned fallback)
{
    const char* v = std::getenv(name);
    return v && *v ? static_cast<unsigned>(std::strtoul(v, nullptr, 10)) : fallback;
}

class QuietUi : public NxDownloadUi
{
public:
    void ShowProgress(const std::string&, std::optional<unsigned>) override {}
    void OnFailure(const char* text) override
    {
        NxDownloadUi::OnFailure(text);
        ++Failures;
    }
    int Failures = 0;
};

struct Operation
{
    const char* Name;
    int Channel;
    const char* File;
    std::string (*State)(const Sim::SimController&);
};

const Operation kOperations[] = {
    {"controller", 0, "controller.hex", [](const Sim::SimController& c) { return FlashState(c); }},
    {"component", 1, "component.hex",
     [](const Sim::SimController& c) { return ComponentState(c, 1); }},
    {"tables", 0, nullptr, [](const Sim::SimController& c) { return TableState(c); }},
    {"packed", 0, "bundle.dat",
     [](const Sim::SimController& c) { return FlashState(c) + " " + TableState(c); }},
};

const SimFaultKind kKinds[] = {SimFaultKind::NoReply, SimFaultKind::BadChecksum,
                               SimFaultKind::Reject,  SimFaultKind::Garbage,
                               SimFaultKind::Unplug,  SimFaultKind::Late};

// One bridge with the demo controller, which (as a real one) stays in its
// bootloader after a reset when its flash holds no checked image.
class Soak : public ::testing::Test
{
protected:
    void SetUp() override
    {
        WriteCampaignFiles(dir);
        // Every device opens its communication log: its descriptor counts too.
        CAppCfg::Instance().SetComLog(true, dir.String());
        Sim::SimScenario sc = Sim::DemoScenario();
        sc.Bridges[0].Controller.StayWithoutImage = true;
        sim = rig.Install(sc).front();
    }

    std::string Path(const Operation& op) const
    {
        return op.File ? (dir / op.File).string() : TablesFile();
    }

    // The simulator's records of requests and the clock's of waits would grow
    // with every run; only the program under test may keep memory.
    void ForgetRecords()
    {
        sim.Controller->ClearLog();
        sim.Controller->ClearTables();
        sim.Device->Calls.clear();
        sim.Device->Written.clear();
        sim.Device->ReadRequests.clear();
        rig.lib.Calls.clear();
        rig.clock.Clear();
        rig.sink.Shown.clear();
    }

    // The folders outlive the rig, so the list closes its logs before they go.
    TempFolder dir{"soak"};
    PrivateTmp tmp;
    SimRig rig;
    TNxDevList& list = rig.list;
    Sim::SimHandle sim;
};

TEST_F(Soak, FaultedDownloadsAndTableUpdates)
{
    const unsigned runs = EnvOr("NX_SOAK_RUNS", 50);
    const unsigned seed = EnvOr("NX_SOAK_SEED", 18);
    std::mt19937 rng(seed);

    // What each operation leaves in the device when nothing goes wrong, and
    // how many exchanges it takes then.
    std::map<std::string, std::string> clean;
    std::map<std::string, unsigned> exchanges;
    ASSERT_TRUE(list.Update());
    for (const Operation& op : kOperations) {
        QuietUi ui;
        ForgetRecords();
        ASSERT_NO_THROW(RunDownload(list, ui, "0001", op.Channel, Path(op))) << op.Name;
        clean[op.Name] = op.State(*sim.Controller);
        exchanges[op.Name] = static_cast<unsigned>(sim.Controller->Log().size());
    }

    std::map<std::string, unsigned> tally;
    const size_t fdsAtStart = OpenDescriptors();
    long rssWarm = 0; // at run 100, once the allocator has settled
    // Descriptors and resident memory before the first run, then every 100 runs.
    std::vector<std::pair<size_t, long>> samples{{fdsAtStart, ResidentKiB()}};
    for (unsigned run = 1; run <= runs; ++run) {
        const Operation& op = kOperations[rng() % std::size(kOperations)];
        SimFault fault;
        const bool faulted = rng() % 5 != 0;
        fault.Kind = kKinds[rng() % std::size(kKinds)];
        fault.From = 1 + rng() % exchanges[op.Name];
        SCOPED_TRACE(StrFormat("run %u: %s, fault %d at exchange %u%s", run, op.Name,
                               static_cast<int>(fault.Kind), fault.From, faulted ? "" : " (none)"));
        ForgetRecords();
        if (faulted)
            sim.Controller->AddFault(fault);

        QuietUi ui;
        bool failed = false;
        try {
            RunDownload(list, ui, "0001", op.Channel, Path(op));
        } catch (const NxException& e) {
            failed = true;
            EXPECT_FALSE(e.Message().empty());
        }
        const bool unplugged = !sim.Device->IsPlugged();
        const bool hit = faulted && sim.Controller->Faults().front().Seen >= fault.From;

        if (!failed) {
            // Success only with everything in place, and never after a reported failure.
            EXPECT_EQ(op.State(*sim.Controller), clean[op.Name]) << "success with other contents";
            EXPECT_EQ(ui.Failures, 0);
            EXPECT_FALSE(unplugged) << "success after an unplug";
            ++tally[std::string(op.Name) + (hit ? " recovered" : " ok")];
        } else {
            EXPECT_EQ(ui.Status().rfind("Download successful", 0), std::string::npos);
            ++tally[std::string(op.Name) + " failed"];
        }
        EXPECT_EQ(tmp.Leftovers(), 0u) << "temporary files left behind";

        // The list follows the bridge: a pulled bridge is removed, comes back
        // when plugged in, and the device answers again.
        sim.Controller->ClearFaults();
        ASSERT_TRUE(list.Update());
        if (unplugged) {
            EXPECT_EQ(list.Count(), 0u);
            sim.Device->Plug();
            ASSERT_TRUE(list.Update());
        }
        ASSERT_EQ(list.Count(), 1u);
        TNxDev& dev = *list.GetDev(0);
        EXPECT_EQ(dev.GetChannels().size(), 3u);
        NxCmdSts sts;
        EXPECT_TRUE(dev.Execute(sts, 2500)) << sts.GetErrMsg();

        if (run % 100 == 0 || run == runs) {
            const size_t fds = OpenDescriptors();
            const long rss = ResidentKiB();
            std::printf("soak: run %u: %zu open descriptors, %ld KiB resident\n", run, fds, rss);
            std::fflush(stdout);
            samples.push_back({fds, rss});
            EXPECT_EQ(fds, fdsAtStart) << "descriptors grow";
            if (kResidentMemoryMeaningful && run >= 100) {
                if (rssWarm == 0)
                    rssWarm = rss;
                EXPECT_LE(rss - rssWarm, 1024) << "resident memory grows";
            }
        }
    }
    std::string summary;
    for (const auto& [what, n] : tally)
        summary += StrFormat(" %s %u,", what.c_str(), n);
    std::printf("soak: %u runs, seed %u:%s\n", runs, seed, summary.c_str());
    size_t fdMax = 0;
    long rssMax = 0;
    for (const auto& [fds, rss] : samples) {
        fdMax = std::max(fdMax, fds);
        rssMax = std::max(rssMax, rss);
    }
    std::printf("soak: descriptors first %zu last %zu max %zu; resident KiB first %ld last "
                "%ld max %ld\n",
                samples.front().first, samples.back().first, fdMax, samples.front().second,
                samples.back().second, rssMax);
}

} // namespace
