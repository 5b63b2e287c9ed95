#include "SimBackend.h"

namespace Sim {

SimBackend::SimBackend(const std::string& scenarioFile, bool wireTime)
{
    const SimScenario sc = scenarioFile.empty() ? DemoScenario() : LoadScenario(scenarioFile);
    m_Bridges = InstallScenario(m_Lib, sc);
    m_Lib.SetWireTime(wireTime);
    Bridge::SetLib(&m_Lib);
}

SimBackend::~SimBackend()
{
    Bridge::SetLib(nullptr);
}

} // namespace Sim
