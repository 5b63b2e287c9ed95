// Which controllers a run on several devices works on: every attached one,
// a list, shell patterns on serial numbers and ports, or the ones that
// failed in this user's last run on several (from the service record).
#pragma once

#include "Cli/CliOptions.h"

#include <string>
#include <vector>

// One attached bridge as --device can name it.
struct SNamedBridge
{
    std::string Serial;
    std::string Port; // the device path; "" when the backend has none
};

// The serial numbers --device names, in order and each once. An entry equal
// to a serial number or port is that bridge; otherwise one with *, ? or [
// is a pattern (fnmatch) on serial numbers and ports; any other stays as
// given (it fails as not found). Raises NxException for "all" with nothing
// attached and for patterns that match nothing.
std::vector<std::string> ChooseDevices(const std::string& device,
                                       const std::vector<SNamedBridge>& bridges);

// The devices that failed, were busy or were interrupted in this user's last
// run of download or reset on several devices (not a dry run) in the history
// at path. Raises CliUsageError when path is "" (the record is off) and
// NxException when it cannot be read.
std::vector<std::string> FailedInLastRun(const std::string& path);

// --expect=N: raises NxException naming what was found unless exactly
// expected of names are attached.
void CheckExpected(int expected, const std::vector<std::string>& names,
                   const std::vector<SNamedBridge>& bridges);
