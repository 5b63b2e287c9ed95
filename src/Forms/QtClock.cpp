#include "QtClock.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QEventLoop>
#include <QTimer>

void QtClock::SleepMs(uint32_t ms)
{
    if (!QCoreApplication::instance()) {
        m_Real.SleepMs(ms);
        return;
    }
    QDeadlineTimer deadline(static_cast<qint64>(ms), Qt::PreciseTimer);
    // A quit request ends every running loop; the pause still lasts its time.
    while (!deadline.hasExpired()) {
        QEventLoop loop;
        QTimer::singleShot(static_cast<int>(deadline.remainingTime()), Qt::PreciseTimer, &loop,
                           &QEventLoop::quit);
        loop.exec();
    }
}

uint64_t QtClock::NowMs()
{
    return m_Real.NowMs();
}

NxLocalTime QtClock::LocalTime()
{
    return m_Real.LocalTime();
}
