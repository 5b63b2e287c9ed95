// --device=all or --device=A,B,C: the command runs on every named controller
// at once, each in a process of its own (this program again, for that one
// device, with --events). A fault, a crash or a hang stays with its device,
// the bridges are opened and probed in parallel, and Ctrl-C reaches every
// process. The parent gathers the events: one live line per device on a
// terminal, one line per status change elsewhere, or JSON lines with --json;
// a summary ends the run.
#pragma once

class Command;
class CliSession;

// Exit code 0 only when every device succeeded, 1 otherwise. Raises
// NxException when there is nothing to run on (no bridge with "all").
int RunOnSeveralDevices(const Command& cmd, CliSession& session);
