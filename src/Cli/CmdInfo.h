// info: the version report of the controller or of a channel component.
#pragma once

#include "Command.h"

class CmdInfo : public Command
{
public:
    CmdInfo();
    int Execute(CliSession& session) const override;
};
