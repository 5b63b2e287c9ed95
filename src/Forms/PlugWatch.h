// Calls back from the event loop when udev reports a serial port plugged or
// unplugged, so that the tree follows a bridge at once; the list's poll
// stays as the fallback (and the simulator's only way).
#pragma once

#include "Bridge/UdevMonitor.h"

#include <QObject>

#include <functional>

class QSocketNotifier;

class PlugWatch : public QObject
{
public:
    explicit PlugWatch(std::function<void()> onPlug, QObject* parent = nullptr);
    // udev could be reached: plugs are reported.
    bool Active() const { return m_pNotifier != nullptr; }

private:
    Bridge::UdevMonitor m_Monitor;
    QSocketNotifier* m_pNotifier = nullptr;
};
