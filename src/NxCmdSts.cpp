#include "NxCmdSts.h"

#include "NxCmdTable.h"

void NxCmdSts::DeviceStatus()
{
    m_Status = 0;
    Setup(CmdDef(NxCmdId::DeviceStatus), 0, nullptr, 0);
}

void NxCmdSts::OnResponse()
{
    m_Status = PayloadLength() > 0 ? Payload()[0] : 0;
}
