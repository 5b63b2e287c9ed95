// The simulator as a front end selects it: owns a simulated bridge library
// with a scenario installed and makes it the process-wide backend while it
// lives.
#pragma once

#include "../Bridge/SimBridge.h"
#include "SimScenario.h"

#include <string>
#include <vector>

namespace Sim {

class SimBackend
{
public:
    // scenarioFile empty: the built-in demo. Raises NxException for a bad file.
    explicit SimBackend(const std::string& scenarioFile = {}, bool wireTime = false);
    ~SimBackend();
    SimBackend(const SimBackend&) = delete;
    SimBackend& operator=(const SimBackend&) = delete;

    Bridge::SimBridgeLib& Lib() { return m_Lib; }
    const std::vector<SimHandle>& Bridges() const { return m_Bridges; }

private:
    Bridge::SimBridgeLib m_Lib;
    std::vector<SimHandle> m_Bridges;
};

} // namespace Sim
