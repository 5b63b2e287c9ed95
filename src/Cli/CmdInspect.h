// inspect: what a download file is and what a download of it would do, read
// with the download's own readers and checks; no device is needed.
#pragma once

#include "Cli/Command.h"

class CmdInspect : public Command
{
public:
    CmdInspect();
    void Validate(const CliOptions& opts) const override;
    int Execute(CliSession& session) const override;
    bool Offline() const override { return true; }
    int ExecuteOffline(const CliOptions& opts) const override;
};
