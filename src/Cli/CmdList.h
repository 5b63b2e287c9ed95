// list: every controller with the components on its channels, as the
// desktop program's tree shows them.
#pragma once

#include "Command.h"

class CmdList : public Command
{
public:
    CmdList();
    int Execute(CliSession& session) const override;
};
