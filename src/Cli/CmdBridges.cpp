#include "CmdBridges.h"

#include "CliSession.h"
#include "NxCom/CP210xCom.h"

#include <cstdint>
#include <string>

CmdBridges::CmdBridges()
    : Command("bridges", "", "serial numbers of the bridges, without opening them", kOptJson)
{
}

int CmdBridges::Execute(CliSession& session) const
{
    uint32_t count = 0;
    if (CP2102Com::GetNumDevices(count) != 0)
        count = 0;
    std::string text;
    CliJson bridges = CliJson::array();
    for (uint32_t i = 0; i < count; ++i) {
        const int index = static_cast<int>(i);
        std::string serial, name;
        // A bridge unplugged since the count is simply left out.
        if (CP2102Com::GetSerial(serial, index) != 0 || CP2102Com::GetDisplayName(name, index) != 0)
            continue;
        text += serial + "\t" + name + "\n";
        bridges.push_back({{"serial", serial}, {"name", name}});
    }
    if (session.Options().Json)
        PrintJson({{"bridges", bridges}});
    else
        PrintText(text);
    return 0;
}
