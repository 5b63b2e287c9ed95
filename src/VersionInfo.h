// Version report and reset of a controller or a channel component, shared by
// both front ends.
#pragma once

#include "NxCom/TNxDev.h"

#include <optional>
#include <string>

struct NxVersionInfo
{
    bool Component = false;      // a channel component (no hardware name, no tables)
    bool HasApplication = false; // the application runs: its line (and the tables') follow
    std::string HwName, HwVer, BlName, BlVer, BlDate;
    std::string AppName, AppVer, AppDate;
    std::string TblName, TblVer, TblDate; // controller only
};

constexpr const char* kNoComponentAnswer =
    "No answer from external component. Check, if the external component that is "
    "connected to this channel has communication functions.";

// Reads the report of the controller (channel 0) or the component on channel.
// Raises NxException with the user's message on failure.
NxVersionInfo ReadVersionInfo(TNxDev& dev, int channel);

// The report read once an action on the target has ended (a download, a
// reset), with read commands only; nullopt when the target does not answer.
// Nothing of the action depends on it: it is what the action left behind.
std::optional<NxVersionInfo> ReadVersionAfterAction(TNxDev& dev, int channel);

// The report text; each line ends with eol ("\r\n" in the window, "\n" on a terminal).
std::string FormatVersionReport(const NxVersionInfo& info, const char* eol = "\r\n");

// Restarts the application of the controller or component; raises on failure.
void ResetToApplication(TNxDev& dev, int channel);
