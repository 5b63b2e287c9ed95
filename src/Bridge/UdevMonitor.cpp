#include "Bridge/UdevMonitor.h"

#include <cstring>
#include <libudev.h>

namespace Bridge {

UdevMonitor::UdevMonitor()
{
    m_pUdev = udev_new();
    if (!m_pUdev)
        return;
    m_pMonitor = udev_monitor_new_from_netlink(m_pUdev, "udev");
    if (!m_pMonitor ||
        udev_monitor_filter_add_match_subsystem_devtype(m_pMonitor, "tty", nullptr) < 0 ||
        udev_monitor_enable_receiving(m_pMonitor) < 0)
        return;
    // libudev's socket does not block: a read with nothing waiting returns null.
    m_nFd = udev_monitor_get_fd(m_pMonitor);
}

UdevMonitor::~UdevMonitor()
{
    if (m_pMonitor)
        udev_monitor_unref(m_pMonitor);
    if (m_pUdev)
        udev_unref(m_pUdev);
}

bool UdevMonitor::TakeEvents()
{
    if (m_nFd < 0)
        return false;
    bool changed = false;
    while (udev_device* dev = udev_monitor_receive_device(m_pMonitor)) {
        const char* action = udev_device_get_action(dev);
        if (action && (std::strcmp(action, "add") == 0 || std::strcmp(action, "remove") == 0))
            changed = true;
        udev_device_unref(dev);
    }
    return changed;
}

} // namespace Bridge
