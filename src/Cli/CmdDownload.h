// download: the desktop program's download action (HEX firmware, XML
// parameter tables, or a .dat file with both) with its progress on stderr.
#pragma once

#include "Cli/Command.h"

class TNxDev;

class CmdDownload : public Command
{
public:
    CmdDownload();
    void Validate(const CliOptions& opts) const override;
    int Execute(CliSession& session) const override;

private:
    // The download or dry run on the target found.
    int Download(CliSession& session, TNxDev& dev) const;
};
