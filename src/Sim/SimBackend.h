// The simulator as a front end selects it: owns a simulated bridge library
// with a scenario or a replayed communication log installed and makes it the
// process-wide backend while it lives.
#pragma once

#include "Bridge/SimBridge.h"
#include "Sim/SimReplayDevice.h"
#include "Sim/SimScenario.h"

#include <memory>
#include <string>
#include <vector>

namespace Sim {

class SimBackend
{
public:
    // file empty: the built-in demo. A folder, or a file that is not a
    // scenario (JSON), is replayed as communication logs, one bridge each;
    // lenient replays look ahead after a request that differs, and wireTime
    // then keeps the recorded gaps instead of pacing the line. Raises
    // NxException for a bad file.
    explicit SimBackend(const std::string& file = {}, bool wireTime = false, bool lenient = false);
    ~SimBackend();
    SimBackend(const SimBackend&) = delete;
    SimBackend& operator=(const SimBackend&) = delete;

    Bridge::SimBridgeLib& Lib() { return m_Lib; }
    const std::vector<SimHandle>& Bridges() const { return m_Bridges; }
    const std::vector<std::shared_ptr<SimReplayDevice>>& Replays() const { return m_Replays; }

private:
    Bridge::SimBridgeLib m_Lib;
    std::vector<SimHandle> m_Bridges;
    std::vector<std::shared_ptr<SimReplayDevice>> m_Replays;
};

} // namespace Sim
