// The filter-change counter of a channel component, shared by both front ends.
#pragma once

#include "NxCom/TNxDev.h"

#include <cstdint>
#include <string>

// Counters in tenths of an hour, as the component reports them.
struct NxFilterCounters
{
    uint32_t Runtime = 0;
    uint32_t LastChange = 0;
    uint16_t Interval = 0;

    // Hours, each a count of tenths times 0.1. Time used and time left are
    // signed, so a runtime outside [last change, next change] shows as a
    // negative number of hours instead of a wrapped unsigned count.
    double RuntimeHours() const { return Runtime * 0.1; }
    double LastChangeHours() const { return LastChange * 0.1; }
    double NextChangeHours() const { return (int64_t{LastChange} + Interval) * 0.1; }
    double UsedHours() const { return (int64_t{Runtime} - LastChange) * 0.1; }
    double LeftHours() const { return (int64_t{LastChange} + Interval - Runtime) * 0.1; }
};

constexpr const char* kFilterQuestion =
    "Do you want to reset the filter change counter of this component?\n"
    "\nOnly reset the counter, if the filter really has been changed! "
    "Otherwise the incubation system might show reduced performance in the future.";
constexpr const char* kFilterResetDone = "The filter change counter has been reset.";

// Reads last change and interval, then the runtime; raises on failure.
NxFilterCounters ReadFilterCounters(TNxDev& dev, int channel);
// Raises "The filter change counter of the component on channel %d cannot be
// reset" unless channel is one of dev's and CanResetFilter holds for it.
void CheckFilterReset(const TNxDev& dev, int channel);
// Resets the counter on the component and reads the new values; raises on
// failure, and before anything is sent when CheckFilterReset does.
NxFilterCounters ResetFilterCounter(TNxDev& dev, int channel);
// The five lines "label%8.1f h", separated by line feeds, no feed after the last.
std::string FormatFilterText(const NxFilterCounters& c);
