// What most core tests start from: a virtual clock, a recording message sink
// and a device list published as the process-wide one (ListRig), and with
// them simulated bridges installed as the bridge library (SimRig). Members
// are undone in reverse order, so the list is gone before the bridges and
// the clock it used.
#pragma once

#include "Appcfg.h"
#include "Bridge/SimBridge.h"
#include "NxClock.h"
#include "NxCom/TNxDevList.h"
#include "Sim/SimScenario.h"
#include "support/Recorders.h"

#include <stdexcept>
#include <vector>

// A fresh configuration for one scope: what a test changes stays in it.
struct FreshConfig
{
    FreshConfig() { CAppCfg::DestroyInstance(); }
    ~FreshConfig() { CAppCfg::DestroyInstance(); }
};

// Publishes a device list as the process-wide one for one scope.
class ScopedDevList
{
public:
    explicit ScopedDevList(TNxDevList& list) { TNxDevList::SetInstance(&list); }
    ~ScopedDevList() { TNxDevList::SetInstance(nullptr); }
    ScopedDevList(const ScopedDevList&) = delete;
    ScopedDevList& operator=(const ScopedDevList&) = delete;
};

// Clock: VirtualClock or a test's own subclass of it.
template <class Clock> struct BasicListRig
{
    FreshConfig config;
    Clock clock;
    ScopedClock useClock{clock};
    RecordingSink sink;
    TNxDevList list;
    ScopedDevList publish{list};
};
using ListRig = BasicListRig<VirtualClock>;

struct SimBridges
{
    Bridge::SimBridgeLib lib;
    Bridge::ScopedLib useLib{lib};
};

template <class Clock> struct BasicSimRig : SimBridges, BasicListRig<Clock>
{
    // Installs the scenario's bridges; their handles in order.
    std::vector<Sim::SimHandle> Install(const Sim::SimScenario& scenario = Sim::DemoScenario())
    {
        return Sim::InstallScenario(lib, scenario);
    }
    // Installs the scenario and lists it; the first controller's handle, its
    // request log cleared.
    Sim::SimHandle InstallListed(const Sim::SimScenario& scenario = Sim::DemoScenario())
    {
        const auto handles = Install(scenario);
        if (handles.empty() || !this->list.Update() || this->list.Count() == 0)
            throw std::runtime_error("the simulated controllers were not listed");
        handles.front().Controller->ClearLog();
        return handles.front();
    }
};
using SimRig = BasicSimRig<VirtualClock>;
