// info: the version report of the controller or of a channel component.
#pragma once

#include "Cli/Command.h"

class CmdInfo : public Command
{
public:
    CmdInfo();
    int Execute(CliSession& session) const override;
};
