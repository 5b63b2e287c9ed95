// The real backend: USB serial ports of the bridge maker (vendor 0x10C4) found
// with libserialport, then the paths listed in NXUPDATE_PORTS (':'-separated)
// that exist. All ports are driven through one POSIX termios code path.
#pragma once

#include "BridgeLib.h"

#include <string>
#include <vector>

namespace Bridge {

class SerialBridgeLib : public IBridgeLib
{
public:
    SerialBridgeLib();
    ~SerialBridgeLib() override;

    Status GetNumDevices(uint32_t& count) override;
    Status GetProductString(uint32_t index, std::string& out, int selector) override;
    Status Open(uint32_t index, std::unique_ptr<IPort>& port) override;
    Status SetTimeouts(uint32_t readMs, uint32_t writeMs) override;
    uint32_t ReadTimeout() const override { return m_ReadTimeout; }
    uint32_t WriteTimeout() const override { return m_WriteTimeout; }

    struct PortInfo
    {
        std::string Path;
        std::string Serial, Description, VidText, PidText;
    };

private:
    // Re-enumerates; the list holds until the next GetNumDevices.
    void Enumerate();
    std::vector<PortInfo> m_Ports;
    uint32_t m_ReadTimeout = 0, m_WriteTimeout = 0;
};

} // namespace Bridge
