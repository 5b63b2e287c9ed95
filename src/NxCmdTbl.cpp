#include "NxCmdTbl.h"

#include <cstring>

void NxCmdTbl::Text(uint8_t cmdNr, const char* name, const char* text)
{
    if (!text)
        text = "";
    const size_t n = strnlen(text, 254);
    uint8_t payload[255];
    std::memcpy(payload, text, n);
    payload[n] = 0;
    Setup(cmdNr, name, 0, NX_ACCESS_WRITE, payload, n + 1);
}

void NxCmdTbl::TblName(const char* text)
{
    Text(kCmdTblName, "TblName", text);
}
void NxCmdTbl::TblVersion(const char* text)
{
    Text(kCmdTblVersion, "TblVersion", text);
}
void NxCmdTbl::TblDate(const char* text)
{
    Text(kCmdTblDate, "TblDate", text);
}

namespace {
// Stands in for a missing record, so a null never sends stale buffer bytes.
const uint8_t kZeroRecord[32] = {};
} // namespace

void NxCmdTbl::TblPidParam(uint8_t channel, const uint8_t* record26)
{
    if (!record26)
        record26 = kZeroRecord;
    Setup(kCmdPidParam, "TblPidParam", channel, NX_ACCESS_WRITE, record26, kPidParamLength);
}

void NxCmdTbl::TblCompParamSet(uint8_t channel, const uint8_t* record16)
{
    if (!record16)
        record16 = kZeroRecord;
    // Entry value, identifier, name with its zero, parameter-set number.
    const size_t n = strnlen(reinterpret_cast<const char*>(record16 + 2), kCompParamSetSize - 4);
    Setup(kCmdCompParamSet, "TblCompParamSet", channel, NX_ACCESS_WRITE, record16, n + 4);
}
