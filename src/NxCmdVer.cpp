#include "NxCmdVer.h"

#include <cstring>

void NxCmdVer::Build(uint8_t cmdNr, const char* name)
{
    m_Text.clear();
    Setup(cmdNr, name, 0, NX_ACCESS_READ, nullptr, 0);
}

void NxCmdVer::GetHwName()
{
    Build(4, "GetHwName");
}
void NxCmdVer::GetHwVer()
{
    Build(5, "GetHwVer");
}
void NxCmdVer::GetBlName()
{
    Build(6, "GetBlName");
}
void NxCmdVer::GetBlVer()
{
    Build(7, "GetBlVer");
}
void NxCmdVer::GetBlDate()
{
    Build(8, "GetBlDate");
}
void NxCmdVer::GetAppName()
{
    Build(9, "GetAppName");
}
void NxCmdVer::GetAppVer()
{
    Build(10, "GetAppVer");
}
void NxCmdVer::GetAppDate()
{
    Build(11, "GetAppDate");
}
void NxCmdVer::GetTblName()
{
    Build(12, "GetTblName");
}
void NxCmdVer::GetTblVer()
{
    Build(13, "GetTblVer");
}
void NxCmdVer::GetTblDate()
{
    Build(14, "GetTblDate");
}

void NxCmdVer::OnResponse()
{
    // Bounded by the payload: a text without its zero must not take in the checksum.
    const char* text = reinterpret_cast<const char*>(Payload());
    m_Text.assign(text, strnlen(text, PayloadLength()));
}
