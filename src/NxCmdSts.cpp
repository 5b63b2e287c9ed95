#include "NxCmdSts.h"

void NxCmdSts::DeviceStatus()
{
    m_Status = 0;
    Setup(kCmdStatus, "DeviceStatus", 0, NX_ACCESS_READ, nullptr, 0);
}

void NxCmdSts::OnResponse()
{
    m_Status = PayloadLength() > 0 ? Payload()[0] : 0;
}
