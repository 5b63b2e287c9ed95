// A download's checks before its first write, run on the device without
// writing, and the verdict of what the download would do.
#pragma once

#include "NxCom/TNxDevList.h"

#include <string>

// The checks a download of file makes before its first write, on a device
// made read-only for the while (TNxDev::SetReadOnly): the target, the file,
// the device's state, its application or model name against the image, its
// hardware name against the tables. Returns the verdict, "would download 97
// blocks into controller 0001 (IncuControlApp), at least 10 s"; raises
// NxException with the message the download would give.
std::string DryRunDownload(TNxDevList& list, const std::string& serial, int channel,
                           const std::string& file);
// The same checks and verdict, kept out of the service record: what the
// desktop program runs before its download question.
std::string CheckDownload(TNxDevList& list, const std::string& serial, int channel,
                          const std::string& file);
