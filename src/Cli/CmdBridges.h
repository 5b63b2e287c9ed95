// bridges: the bridges as the system enumerates them, one "serial<TAB>name"
// line each, without opening or probing a port; shell completion reads the
// serial numbers from it.
#pragma once

#include "Cli/Command.h"

class CmdBridges : public Command
{
public:
    CmdBridges();
    bool OpensDevices() const override { return false; }
    int Execute(CliSession& session) const override;
};
