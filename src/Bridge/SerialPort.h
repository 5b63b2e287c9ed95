// One serial port driven through POSIX termios and poll(). USB bridges and
// ports listed by path (pseudo-terminals included) take this same code path.
#pragma once

#include "Bridge/BridgeLib.h"

#include <cstdint>
#include <string>

namespace Bridge {

class SerialPort
{
public:
    // Why an Open failed, for the hint the user sees; the status stays as is.
    enum class Problem
    {
        None,
        Permission, // the system refused access (file mode, group)
        Busy,       // another opener holds the lock or the exclusive mode
    };

    SerialPort() = default;
    ~SerialPort(); // closes
    SerialPort(const SerialPort&) = delete;
    SerialPort& operator=(const SerialPort&) = delete;

    // Opens path for exclusive use (TIOCEXCL and an advisory lock, so a second
    // opener in this or another process is refused even when it runs as root)
    // and sets raw mode, 8 data bits, no parity, 1 stop bit, no flow control.
    // A terminal already in exclusive mode is busy, also for root; Close
    // clears only the exclusive mode this port set.
    // The bit rate is left as it is until SetBaudRate.
    // kDeviceNotFound: the path is gone; kDeviceIoFailed: in use, not a
    // terminal, or refused by the system; -1000 is never returned here.
    Status Open(const std::string& path);
    // Cause of the last failed Open; None after a successful one.
    Problem LastProblem() const { return m_LastProblem; }
    // kInvalidHandle when not open. Closing a vanished port succeeds.
    Status Close();
    bool IsOpen() const { return m_Fd >= 0; }

    // Waits up to timeoutMs in total for all count bytes. kSuccess only with
    // got == count; kReadTimedOut with the bytes that did arrive in got.
    // timeoutMs 0 means no waiting: only bytes already received are taken.
    // A vanished port gives kDeviceIoFailed.
    Status Read(uint8_t* buf, uint32_t count, uint32_t& got, uint32_t timeoutMs);
    // Waits up to timeoutMs in total until the system took all count bytes;
    // otherwise kWriteTimedOut with written < count. timeoutMs 0 means no
    // waiting: only what fits into the system's buffer now is taken.
    Status Write(const uint8_t* buf, uint32_t count, uint32_t& written, uint32_t timeoutMs);
    // Standard rates from 300 to 921600 bit/s; any other gives kInvalidBaudrate.
    Status SetBaudRate(uint32_t baud);
    // Discards unsent output (tx) and/or unread input (rx).
    Status Flush(bool tx, bool rx);

private:
    int m_Fd = -1;
    bool m_bExclusive = false; // this port set the terminal's exclusive mode
    Problem m_LastProblem = Problem::None;
};

} // namespace Bridge
