// list: every controller with the components on its channels, as the
// desktop program's tree shows them. With several bridges each is opened
// and probed in a process of its own, all at once, so that silent channels
// cost their timeouts once, not once per controller; the output keeps the
// bridges' order.
#pragma once

#include "Cli/Command.h"

class CmdList : public Command
{
public:
    CmdList();
    // The session opens the bridges only when they are probed in this process.
    bool OpensDevices() const override { return false; }
    void Validate(const CliOptions& opts) const override;
    int Execute(CliSession& session) const override;
};
