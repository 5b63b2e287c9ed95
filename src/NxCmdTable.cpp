#include "NxCmdTable.h"

#include "NxCom/NxCmd.h"

namespace {

constexpr bool RowsFollowTheIds()
{
    for (size_t i = 0; i < CmdTable().size(); ++i)
        if (static_cast<size_t>(CmdTable()[i].Id) != i)
            return false;
    return true;
}
static_assert(RowsFollowTheIds(), "CmdDef indexes the table by NxCmdId");

// The guard sees only the wire: rows it cannot tell apart must agree.
constexpr bool SameKeySameVerdict()
{
    for (const NxCmdDef& a : CmdTable())
        for (const NxCmdDef& b : CmdTable())
            if (a.Nr == b.Nr && a.Access == b.Access && a.Sub == b.Sub &&
                a.ChangesDevice != b.ChangesDevice)
                return false;
    return true;
}
static_assert(SameKeySameVerdict(), "commands of one number, access and sub-command");

bool Matches(const NxCmdDef& row, const NxCmd& cmd)
{
    if (row.Nr != cmd.GetCmdNr() || row.Access != cmd.GetBuffer()[4])
        return false;
    if (row.Sub < 0)
        return true;
    return cmd.PayloadLength() >= 2 && cmd.Payload()[1] == row.Sub;
}

} // namespace

bool IsReadCommand(const NxCmd& cmd)
{
    for (const NxCmdDef& row : CmdTable())
        if (Matches(row, cmd))
            return !row.ChangesDevice;
    return false; // unknown: it may change anything
}
