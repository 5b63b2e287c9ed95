#include "Cli/CmdBridges.h"

#include "Cli/CliSession.h"
#include "NxCom/TNxDevList.h"

#include <string>
#include <vector>

CmdBridges::CmdBridges()
    : Command("bridges", "", "serial numbers of the bridges, without opening them")
{
}

int CmdBridges::Execute(CliSession& session) const
{
    std::vector<SBridgeInfo> found;
    TNxDevList::EnumerateBridges(found); // a failed count lists nothing
    std::string text;
    CliJson bridges = CliJson::array();
    for (const SBridgeInfo& b : found) {
        // A bridge unplugged since the count is simply left out.
        if (!b.Known)
            continue;
        text += b.Serial + "\t" + b.Name + "\n";
        bridges.push_back({{"serial", b.Serial}, {"name", b.Name}});
    }
    const CliJson unserved = UnservedBridgesJson(session.Options());
    if (session.Options().Json)
        PrintJson({{"bridges", bridges}, {"unserved", unserved}});
    else
        PrintText(text);
    return 0;
}
