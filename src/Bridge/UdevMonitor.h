// Tells when a serial port comes or goes, from udev's events, so that the
// device list can be updated at once rather than at its next poll. For the
// serial backend only (the simulator's bridges come and go without udev).
// Where udev cannot be reached (a container, a build without libudev) there
// is no descriptor, and the poll alone finds the bridges.
#pragma once

struct udev;
struct udev_monitor;

namespace Bridge {

class UdevMonitor
{
public:
    // Listens to udev's events of the "tty" subsystem, after its rules ran
    // (the port's permissions are set by then).
    UdevMonitor();
    ~UdevMonitor();
    UdevMonitor(const UdevMonitor&) = delete;
    UdevMonitor& operator=(const UdevMonitor&) = delete;

    // Readable while events wait; -1 when udev cannot be reached. Never blocks.
    int Fd() const { return m_nFd; }
    // Reads every waiting event; true when a port was added or removed.
    bool TakeEvents();

private:
    udev* m_pUdev = nullptr;
    udev_monitor* m_pMonitor = nullptr;
    int m_nFd = -1;
};

} // namespace Bridge
