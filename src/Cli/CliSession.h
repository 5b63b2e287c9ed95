// What every command of nxupdate-cli stands on: the bridge backend (the
// serial ports, or the simulator with --simulate), the communication log
// switch, the process-wide device list after its one update, and the choice
// of the target controller.
#pragma once

#include "Cli/CliOptions.h"
#include "NxCom/TNxDevList.h"
#include "Sim/SimBackend.h"

#include <memory>
#include <string>

class DeviceEvents;
class EventSink;

class CliSession
{
public:
    // Installs the backend, switches the log on for --comlog, creates and
    // publishes the device list and runs one Update, which finds the bridges
    // and probes their channels. Raises NxException for a bad scenario file
    // and CliUsageError for a --comlog folder that does not exist. Without
    // openDevices the list stays empty and no bridge is touched.
    // With --device=SERIAL only that bridge is opened (others may be busy
    // with other work); only when it is not found are the others listed, to
    // say what there is. With several devices nothing is opened: each
    // device's own process does that. With events (one device's process of
    // such a run) the core's messages go to them instead of stderr.
    explicit CliSession(const CliOptions& opts, bool openDevices = true,
                        DeviceEvents* events = nullptr);
    ~CliSession();
    CliSession(const CliSession&) = delete;
    CliSession& operator=(const CliSession&) = delete;

    // Opens and probes what the constructor would have without openDevices.
    void Open();

    const CliOptions& Options() const { return m_Opts; }
    TNxDevList& Devices() { return m_List; }

    // The controller named by --device, or the only one listed. Raises
    // NxException naming what was found when there is none (or only bridges
    // whose controller answered wrongly, with the reason) or, without
    // --device, more than one; with --json the document {"errors": [...]}
    // is printed first. The caller holds the list's lock while it uses the
    // device.
    TNxDev& Target();
    // --channel or 0. Raises the desktop program's "Invalid channel for
    // device '%s'" when the controller has no such channel.
    int Channel(TNxDev& dev);

    // "  <serial>  <display name>" for every listed controller, or "" when none.
    std::string FoundText();

    // The events of a device's process, or null.
    DeviceEvents* Events() { return m_pEvents; }
    // The bridge named by --device is held by another program.
    bool TargetBusy() const { return m_bTargetBusy; }

private:
    TNxDev& FindTarget();
    // One line per listed bridge (with this serial, or any for "") whose
    // controller did not answer correctly; "" when there is none.
    std::string SilentText(const std::string& serial) const;
    void OpenNamed(const std::string& serial);
    static std::string NamedSerial(const std::string& name);
    // Raises the failure of a device's process whose bridge is not listed.
    [[noreturn]] void TargetMissing();

    const CliOptions& m_Opts;
    DeviceEvents* m_pEvents;
    std::unique_ptr<EventSink> m_pEventSink;
    bool m_bTargetBusy = false;
    std::string m_Named;                     // the serial number of the bridge --device names
    std::string m_TargetSilent;              // SilentText of the bridge named by --device
    std::unique_ptr<Sim::SimBackend> m_pSim; // outlives the list, whose devices use it
    TNxDevList m_List;
};
