// reset: restarts the application of the controller or of a channel component.
#pragma once

#include "Cli/Command.h"

class CmdReset : public Command
{
public:
    CmdReset();
    void Validate(const CliOptions& opts) const override;
    int Execute(CliSession& session) const override;
};
