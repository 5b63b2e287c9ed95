#include "NxCmdVer.h"

#include "NxCmdTable.h"

#include <cstring>

void NxCmdVer::Build(NxCmdId id)
{
    m_Text.clear();
    Setup(CmdDef(id), 0, nullptr, 0);
}

void NxCmdVer::GetHwName()
{
    Build(NxCmdId::GetHwName);
}
void NxCmdVer::GetHwVer()
{
    Build(NxCmdId::GetHwVer);
}
void NxCmdVer::GetBlName()
{
    Build(NxCmdId::GetBlName);
}
void NxCmdVer::GetBlVer()
{
    Build(NxCmdId::GetBlVer);
}
void NxCmdVer::GetBlDate()
{
    Build(NxCmdId::GetBlDate);
}
void NxCmdVer::GetAppName()
{
    Build(NxCmdId::GetAppName);
}
void NxCmdVer::GetAppVer()
{
    Build(NxCmdId::GetAppVer);
}
void NxCmdVer::GetAppDate()
{
    Build(NxCmdId::GetAppDate);
}
void NxCmdVer::GetTblName()
{
    Build(NxCmdId::GetTblName);
}
void NxCmdVer::GetTblVer()
{
    Build(NxCmdId::GetTblVer);
}
void NxCmdVer::GetTblDate()
{
    Build(NxCmdId::GetTblDate);
}

void NxCmdVer::OnResponse()
{
    // Bounded by the payload: a text without its zero must not take in the checksum.
    const char* text = reinterpret_cast<const char*>(Payload());
    m_Text.assign(text, strnlen(text, PayloadLength()));
}
