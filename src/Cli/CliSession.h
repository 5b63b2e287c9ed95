// What every command of nxupdate-cli stands on: the bridge backend (the
// serial ports, or the simulator with --simulate), the communication log
// switch, the process-wide device list after its one update, and the choice
// of the target controller.
#pragma once

#include "CliOptions.h"
#include "NxCom/TNxDevList.h"
#include "Sim/SimBackend.h"

#include <memory>
#include <string>

class CliSession
{
public:
    // Installs the backend, switches the log on for --comlog, creates and
    // publishes the device list and runs one Update, which finds the bridges
    // and probes their channels. Raises NxException for a bad scenario file
    // and CliUsageError for a --comlog folder that does not exist. Without
    // openDevices the list stays empty and no bridge is touched.
    explicit CliSession(const CliOptions& opts, bool openDevices = true);
    ~CliSession();
    CliSession(const CliSession&) = delete;
    CliSession& operator=(const CliSession&) = delete;

    const CliOptions& Options() const { return m_Opts; }
    TNxDevList& Devices() { return m_List; }

    // The controller named by --device, or the only one listed. Raises
    // NxException naming what was found when there is none or, without
    // --device, more than one. The caller holds the list's lock while it
    // uses the device.
    TNxDev& Target();
    // --channel or 0. Raises the desktop program's "Invalid channel for
    // device '%s'" when the controller has no such channel.
    int Channel(TNxDev& dev);

    // "  <serial>  <display name>" for every listed controller, or "" when none.
    std::string FoundText();

private:
    const CliOptions& m_Opts;
    std::unique_ptr<Sim::SimBackend> m_pSim; // outlives the list, whose devices use it
    TNxDevList m_List;
};
