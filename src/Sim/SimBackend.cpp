#include "Sim/SimBackend.h"

#include "Appcfg.h"
#include "NxCom/NxCom.h"
#include "NxException.h"
#include "Sim/SimComLog.h"

#include <filesystem>

namespace Sim {

namespace {

// Opening a replayed bridge empties its new log: that must not be the log
// being replayed, which may be the only copy of a customer's recording.
void RefuseLogOverReplay(const std::vector<std::shared_ptr<SimReplayDevice>>& replays)
{
    if (!CAppCfg::Instance().ComLog())
        return;
    for (size_t i = 0; i < replays.size(); ++i) {
        const std::string log = NxCom::ComLogPath(static_cast<int>(i));
        for (const auto& r : replays) {
            std::error_code ec;
            if (std::filesystem::equivalent(log, r->Log().Name, ec))
                ThrowNx("The communication log '%s' would overwrite the log being replayed: "
                        "write it into another folder (--comlog=DIR)",
                        log.c_str());
        }
    }
}

} // namespace

SimBackend::SimBackend(const std::string& file, bool wireTime, bool lenient)
{
    if (!file.empty() && IsComLogSource(file)) {
        // The recorded gaps already hold the line's time.
        m_Replays = InstallReplay(m_Lib, file, {lenient, wireTime, {}});
        RefuseLogOverReplay(m_Replays);
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
