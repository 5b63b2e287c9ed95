// The desktop program's start and end: options, device list, windows, the
// start-up download request and the message loop, in that order.
#pragma once

class INxClock;

struct NxRunSettings
{
    // The clock for the run; null installs the Qt clock (pauses process events).
    INxClock* Clock = nullptr;
};

// Runs the program and returns its exit code: 0 after a normal end, 1 when
// the run ended through the start-up error handling (a failed unattended
// download, or start-up itself failed), so scripts can tell the two apart.
// Uses the application object when one exists, otherwise creates it.
int NxUpdateRun(int& argc, char** argv, const NxRunSettings& settings = {});

// Caption of the start-up error box.
constexpr const char* kAppTitle = "Nurax Update 5000";
