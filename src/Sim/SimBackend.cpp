#include "SimBackend.h"

#include "SimComLog.h"

namespace Sim {

SimBackend::SimBackend(const std::string& file, bool wireTime, bool lenient)
{
    if (!file.empty() && IsComLogSource(file)) {
        // The recorded gaps already hold the line's time.
        m_Replays = InstallReplay(m_Lib, file, {lenient, wireTime, {}});
    } else {
        m_Bridges = InstallScenario(m_Lib, file.empty() ? DemoScenario() : LoadScenario(file));
        m_Lib.SetWireTime(wireTime);
    }
    Bridge::SetLib(&m_Lib);
}

SimBackend::~SimBackend()
{
    Bridge::SetLib(nullptr);
}

} // namespace Sim
