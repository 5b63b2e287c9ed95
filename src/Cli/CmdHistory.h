// history: the service record, listed, exported or checked; and what the
// commands that change a device need to record their actions.
#pragma once

#include "Cli/Command.h"
#include "History/HistoryDb.h"

#include <string>
#include <vector>

class ActionRecord;
class TNxDev;

class CmdHistory : public Command
{
public:
    CmdHistory();
    void Validate(const CliOptions& opts) const override;
    int Execute(CliSession& session) const override;
    bool Offline() const override { return true; }
    int ExecuteOffline(const CliOptions& opts) const override;
};

// Chooses where this run records its actions (--history, NXUPDATE_HISTORY,
// the default). Raises CliUsageError for --history given several times to
// a command other than history and report.
void UseHistory(const Command& cmd, const CliOptions& opts);

// The files history and report read: every --history, else the one this PC records into.
std::vector<std::string> HistoryFiles(const CliOptions& opts);
// The filter of --device, --since, --until and --result; raises CliUsageError.
HistoryFilter HistoryFilterOf(const CliOptions& opts);

// The command's target with its record open: a controller that is missing
// or held by another program is recorded as such before the failure goes on.
TNxDev& RecordedTarget(CliSession& session, ActionRecord& record);

// A device's process of a run on several tells what runs on the target once
// the action has ended: the application version of the report the record
// read after it, or of one read now when nothing is recorded. Call it under
// the list's lock.
void TellVersionAfter(CliSession& session, const ActionRecord& record, TNxDev& dev, int channel);
