#include "SerialBridge.h"

// Placeholder until the termios backend lands: reports no ports.
namespace Bridge {
SerialBridgeLib::SerialBridgeLib() = default;
SerialBridgeLib::~SerialBridgeLib() = default;
void SerialBridgeLib::Enumerate() { m_Ports.clear(); }
Status SerialBridgeLib::GetNumDevices(uint32_t& count)
{
    Enumerate();
    count = 0;
    return kSuccess;
}
Status SerialBridgeLib::GetProductString(uint32_t, std::string&, int) { return kDeviceNotFound; }
Status SerialBridgeLib::Open(uint32_t, std::unique_ptr<IPort>&) { return kDeviceNotFound; }
Status SerialBridgeLib::SetTimeouts(uint32_t r, uint32_t w)
{
    m_ReadTimeout = r;
    m_WriteTimeout = w;
    return kSuccess;
}
} // namespace Bridge
