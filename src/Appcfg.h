// Process-wide configuration: fixed switches and the file dialog's start folder.
#pragma once

#include <memory>
#include <string>

// "v" and the version: shown in the main window's caption. --version prints
// NX_VERSION (NxVersion.h) in GNU form, without the "v".
extern const char* const NX_PROGRAM_VERSION;

// Absolute path of the current directory, resolved once before main runs.
const std::string& WorkingDirectory();

class CAppCfg
{
public:
    static CAppCfg& Instance();
    // End of the run; a later Instance() creates a fresh object.
    static void DestroyInstance();

    void SetLastDir(const std::string& dir) { m_LastDir = dir; }
    const std::string& LastDir() const { return m_LastDir; }
    // The file dialog's start folder: LastDir, or the working directory when empty.
    std::string StartFolder() const { return m_LastDir.empty() ? WorkingDirectory() : m_LastDir; }

    bool IgnoreReplyStatus() const { return m_bIgnoreReplyStatus; }
    bool ComLog() const { return m_bComLog; }
    bool BootloaderFirst() const { return m_bBootloaderFirst; }
    bool StartApplication() const { return m_bStartApplication; }
    // Folder of the communication log; empty means the working directory's parent.
    const std::string& ComLogDir() const { return m_ComLogDir; }

    // The desktop program keeps these fixed; --comlog and tests change them.
    void SetComLog(bool on, const std::string& dir = {})
    {
        m_bComLog = on;
        m_ComLogDir = dir;
    }
    void SetBootloaderFirst(bool on) { m_bBootloaderFirst = on; }
    void SetStartApplication(bool on) { m_bStartApplication = on; }
    void SetIgnoreReplyStatus(bool on) { m_bIgnoreReplyStatus = on; }

private:
    CAppCfg();

    std::string m_LastDir;
    bool m_bIgnoreReplyStatus = false;
    bool m_bComLog = false;
    bool m_bBootloaderFirst = true;
    bool m_bStartApplication = true;
    std::string m_ComLogDir;

    static std::unique_ptr<CAppCfg> s_pInstance;
};
