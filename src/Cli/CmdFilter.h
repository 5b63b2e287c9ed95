// filter: the filter-change counter of a channel component, and its reset
// after a filter change.
#pragma once

#include "Cli/Command.h"

class TNxDev;
struct NxFilterCounters;

class CmdFilter : public Command
{
public:
    CmdFilter();
    void Validate(const CliOptions& opts) const override;
    int Execute(CliSession& session) const override;

private:
    void Print(CliSession& session, const TNxDev& dev, int channel,
               const NxFilterCounters& counters) const;
};
