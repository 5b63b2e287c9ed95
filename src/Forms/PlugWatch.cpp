#include "Forms/PlugWatch.h"

#include <QSocketNotifier>

PlugWatch::PlugWatch(std::function<void()> onPlug, QObject* parent) : QObject(parent)
{
    if (m_Monitor.Fd() < 0)
        return;
    m_pNotifier = new QSocketNotifier(m_Monitor.Fd(), QSocketNotifier::Read, this);
    connect(m_pNotifier, &QSocketNotifier::activated, this, [this, onPlug = std::move(onPlug)] {
        if (m_Monitor.TakeEvents() && onPlug)
            onPlug();
    });
}
