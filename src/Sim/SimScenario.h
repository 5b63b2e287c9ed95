// Scenarios: which simulated bridges exist, with which controller behind each
// one and which components on its channels. A scenario is plain data; it is
// installed into a simulated bridge library, which can be done more than once.
//
// Scenario files are JSON:
//   { "bridges": [ { "serial": "0001", "description": "Controller",
//                    "vid": "10C4", "pid": "EA60", "plugged": true,
//                    "controller": { "state": "application" | "bootloader",
//                                    "hwName": "...", "hwVersion", "blName", "blVersion",
//                                    "blDate", "appName", "appVersion", "appDate",
//                                    "tblName", "tblVersion", "tblDate",
//                                    "ignoreResets": false, "stayWithoutImage": false,
//                                    "channels": [ { "channel": 1, ...component... } ],
//                                    "faults": [ { "kind": "noReply", ... } ] } } ] }
// Component keys: identifier, capability, appName, appVersion, appDate, hwVersion,
// blName, blVersion, blDate, serialNumber, state, statusExtra, runtime,
// lastFilterChange, filterInterval, silent, silentStatus, ignoreModeChange.
// Fault keys: kind (noReply, badChecksum, reject, garbage, unplug, late), cmd, channel,
// access ("R"/"W"), sub, from, count, execute, errorByte, garbage (byte array),
// delayMs (late: how late the reply comes; 0 or none: just after the host gave up).
// Numbers may be given as JSON numbers or as texts with a 0x prefix; vid and
// pid texts are hexadecimal as the bridge reports them. Unknown keys are errors.
#pragma once

#include "Bridge/SimBridge.h"
#include "Sim/SimController.h"

#include <memory>
#include <string>
#include <vector>

namespace Sim {

struct SimBridgeSpec
{
    std::string Serial;
    std::string Description = "Controller";
    uint16_t Vid = 0x10C4;
    uint16_t Pid = 0xEA60;
    bool Plugged = true;
    SimController Controller; // the prototype; installing copies it
};

struct SimScenario
{
    std::vector<SimBridgeSpec> Bridges;
};

// What an installed bridge is made of, for tests and front ends.
struct SimHandle
{
    std::shared_ptr<Bridge::SimDevice> Device;
    std::shared_ptr<SimController> Controller;
};

// One controller (bridge "0001", description "Controller") in its application
// with three channels: 1 a downloadable "GasProbe" whose serial number starts
// with "133", 2 a downloadable "Meridian", 3 a sensor that cannot be
// downloaded and has no serial number.
SimScenario DemoScenario();

// Deepest nesting a scenario file may have; a real one has five levels.
constexpr int kMaxScenarioDepth = 64;

// Parses a scenario; raises NxException naming the bad key or value.
SimScenario ParseScenario(const std::string& jsonText);
// Reads and parses a scenario file; raises NxException on failure.
SimScenario LoadScenario(const std::string& path);

// Adds every bridge of the scenario to lib, each with a fresh copy of its
// controller as peer, and returns them in scenario order.
std::vector<SimHandle> InstallScenario(Bridge::SimBridgeLib& lib, const SimScenario& scenario);

} // namespace Sim
