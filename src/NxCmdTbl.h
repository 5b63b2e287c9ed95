// Parameter-table writes into the controller's application: table identity
// texts, PID parameter sets and component parameter sets.
#pragma once

#include "NxCom/NxCmd.h"

enum class NxCmdId : uint8_t;

class NxCmdTbl : public NxCmd
{
public:
    static constexpr size_t kPidParamLength = 26;
    static constexpr size_t kCompParamSetSize = 16;

    // The text with its zero byte; null counts as empty. Texts beyond 254
    // characters are cut so that the zero byte still fits into the frame.
    void TblName(const char* text);
    void TblVersion(const char* text);
    void TblDate(const char* text);
    // "TblPidParam": the first 26 bytes of the record; the caller passes the
    // record's channel (its byte 26). A null record sends zeros.
    void TblPidParam(uint8_t channel, const uint8_t* record26);
    // "TblCompParamSet": record bytes 0 .. 3 + n, n being the length of the
    // text at byte 2. The text is looked for only inside the 16-byte record,
    // so the payload is at most 16 bytes even without a zero byte.
    void TblCompParamSet(uint8_t channel, const uint8_t* record16);

private:
    void Text(NxCmdId id, const char* text);
};
