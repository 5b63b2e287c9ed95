// report: one printable page of a visit from the service record.
#pragma once

#include "Cli/Command.h"

class CmdReport : public Command
{
public:
    CmdReport();
    void Validate(const CliOptions& opts) const override;
    int Execute(CliSession& session) const override;
    bool Offline() const override { return true; }
    int ExecuteOffline(const CliOptions& opts) const override;
};
