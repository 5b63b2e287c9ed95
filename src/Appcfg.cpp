#include "Appcfg.h"
#include "NxVersion.h"

#include <filesystem>
#include <system_error>

const char* const NX_PROGRAM_VERSION = "v" NX_VERSION;

static std::string ResolveWorkingDirectory()
{
    std::error_code ec;
    const auto p = std::filesystem::current_path(ec);
    return ec ? std::string(".") : p.string();
}

// Resolved during static initialisation, before main.
static const std::string g_WorkingDir = ResolveWorkingDirectory();

const std::string& WorkingDirectory()
{
    return g_WorkingDir;
}

std::unique_ptr<CAppCfg> CAppCfg::s_pInstance;

CAppCfg::CAppCfg() : m_LastDir(WorkingDirectory()) {}

CAppCfg& CAppCfg::Instance()
{
    if (!s_pInstance)
        s_pInstance.reset(new CAppCfg());
    return *s_pInstance;
}

void CAppCfg::DestroyInstance()
{
    s_pInstance.reset();
}
