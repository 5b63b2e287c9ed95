#include "NxCmdTbl.h"

#include "NxCmdTable.h"

#include <cstring>

void NxCmdTbl::Text(NxCmdId id, const char* text)
{
    if (!text)
        text = "";
    const size_t n = strnlen(text, 254);
    uint8_t payload[255];
    std::memcpy(payload, text, n);
    payload[n] = 0;
    Setup(CmdDef(id), 0, payload, n + 1);
}

void NxCmdTbl::TblName(const char* text)
{
    Text(NxCmdId::TblName, text);
}
void NxCmdTbl::TblVersion(const char* text)
{
    Text(NxCmdId::TblVersion, text);
}
void NxCmdTbl::TblDate(const char* text)
{
    Text(NxCmdId::TblDate, text);
}

namespace {
// Stands in for a missing record, so a null never sends stale buffer bytes.
const uint8_t kZeroRecord[32] = {};
} // namespace

void NxCmdTbl::TblPidParam(uint8_t channel, const uint8_t* record26)
{
    if (!record26)
        record26 = kZeroRecord;
    Setup(CmdDef(NxCmdId::TblPidParam), channel, record26, kPidParamLength);
}

void NxCmdTbl::TblCompParamSet(uint8_t channel, const uint8_t* record16)
{
    if (!record16)
        record16 = kZeroRecord;
    // Entry value, identifier, name with its zero, parameter-set number.
    const size_t n = strnlen(reinterpret_cast<const char*>(record16 + 2), kCompParamSetSize - 4);
    Setup(CmdDef(NxCmdId::TblCompParamSet), channel, record16, n + 4);
}
