// Handle on one USB-to-UART bridge: enumeration and identity, raw byte
// transfer with the library's status codes, and the communication log.
#pragma once

#include "Bridge/BridgeLib.h"
#include "Utils.h"

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

using NxStatus = int32_t;

// Codes of our own beside the library's.
constexpr NxStatus NX_WRONG_STATE = -1000; // "Device already opened"; broken reply start
constexpr NxStatus NX_NO_DEVICE = -1001;   // "No device available"

class CP2102Com
{
public:
    explicit CP2102Com(int devIndex);
    virtual ~CP2102Com();
    CP2102Com(const CP2102Com&) = delete;
    CP2102Com& operator=(const CP2102Com&) = delete;

    // Enumerated bridges, by index; no open port needed.
    static NxStatus GetNumDevices(uint32_t& count);
    // Product then vendor identifier (hex texts); outputs written only if both succeed.
    static NxStatus GetIds(int index, uint32_t& pid, uint32_t& vid);
    static NxStatus GetSerial(std::string& serial, int index);
    // "%s (#%s)" with description and serial number.
    static NxStatus GetDisplayName(std::string& name, int index);
    static const char* StatusText(NxStatus status);

    // On failure, problem (if given) says why, as far as the bridge knows.
    NxStatus Open(Bridge::OpenProblem* problem = nullptr);
    NxStatus Close();
    bool IsOpen() const { return m_hDev != nullptr; }
    NxStatus SetBaudRate(uint32_t baud);
    NxStatus SetTimeouts(uint32_t readMs, uint32_t writeMs);
    NxStatus Flush();
    // Writes all count bytes, or fails with the library's status.
    NxStatus Write(const uint8_t* data, uint32_t count);
    // Reads exactly count bytes, or fails; bytes that arrived stay in buf.
    NxStatus Read(uint8_t* buf, uint32_t count);

    // Opens the communication log at path: never through a symbolic link,
    // only a regular file, created with mode 0600, and locked so that two
    // programs logging into one folder do not interleave their frames. When
    // another process holds the lock, or the file is not this user's own with
    // a single name (another user's in a shared folder, a hard link), the log
    // becomes "<path without .txt>-<pid>.txt", said once through the message sink. A log that
    // cannot be opened or later written is reported once (ReportComLogProblem) and stays off.
    // Returns the path written, or "" when there is no log.
    std::string OpenTrace(const std::string& path);
    void CloseTrace();
    bool IsTracing() const { return m_pTrace != nullptr; }
    // The log's path while one is written, else "".
    std::string TracePath() const { return m_pTrace ? m_TracePath : std::string(); }
    void TraceLine(const char* fmt, ...) __attribute__((format(printf, 2, 3)));
    void TraceData(const char* label, const uint8_t* data, uint32_t count);

    int GetDevIndex() const { return m_nDevIndex; }

protected:
    // Ends a log that cannot be written to the end; releases the trace lock
    // held by the caller, then reports why.
    void TraceFailed(CEasyMutex& lock);

    std::unique_ptr<Bridge::IPort> m_hDev;
    int m_nDevIndex;
    FILE* m_pTrace = nullptr;
    std::string m_TracePath;
    CMutexClass m_TraceLock;
};

// A problem with the communication log at path, told once per log and
// process through the message sink (NxMessages), without a caption.
void ReportComLogProblem(const std::string& path, const std::string& text);
