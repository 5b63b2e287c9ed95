// download: the desktop program's download action (HEX firmware, XML
// parameter tables, or a .dat file with both) with its progress on stderr.
#pragma once

#include "Command.h"

class CmdDownload : public Command
{
public:
    CmdDownload();
    void Validate(const CliOptions& opts) const override;
    int Execute(CliSession& session) const override;
};
