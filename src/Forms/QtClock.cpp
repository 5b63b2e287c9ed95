#include "Forms/QtClock.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QEventLoop>
#include <QSocketNotifier>
#include <QThread>
#include <QTimer>

#include <algorithm>
#include <poll.h>

namespace {

bool InUiThread()
{
    const QCoreApplication* app = QCoreApplication::instance();
    return app && QThread::currentThread() == app->thread();
}

int Remaining(const QDeadlineTimer& deadline)
{
    return static_cast<int>(std::max<qint64>(0, deadline.remainingTime()));
}

} // namespace

void QtClock::SleepMs(uint32_t ms)
{
    if (!InUiThread()) {
        m_Real.SleepMs(ms);
        return;
    }
    QDeadlineTimer deadline(static_cast<qint64>(ms), Qt::PreciseTimer);
    // A quit request ends every running loop; the pause still lasts its time.
    while (!deadline.hasExpired()) {
        QEventLoop loop;
        QTimer::singleShot(Remaining(deadline), Qt::PreciseTimer, &loop, &QEventLoop::quit);
        // Once the application quits, a new loop returns at once: sleep instead of spinning.
        if (loop.exec() < 0)
            m_Real.SleepMs(static_cast<uint32_t>(Remaining(deadline)));
    }
}

int QtClock::PollFd(pollfd& fd, int timeoutMs)
{
    const int now = ::poll(&fd, 1, 0);
    if (now != 0 || timeoutMs <= 0 || !InUiThread())
        return now != 0 || timeoutMs <= 0 ? now : ::poll(&fd, 1, timeoutMs);

    // The loop ends when the descriptor becomes ready or the time is up;
    // poll() itself then tells which and fills in the events.
    QDeadlineTimer deadline(timeoutMs, Qt::PreciseTimer);
    QEventLoop loop;
    QSocketNotifier readable(static_cast<qintptr>(fd.fd), QSocketNotifier::Read);
    QSocketNotifier writable(static_cast<qintptr>(fd.fd), QSocketNotifier::Write);
    readable.setEnabled(fd.events & POLLIN);
    writable.setEnabled(fd.events & POLLOUT);
    QObject::connect(&readable, &QSocketNotifier::activated, &loop, &QEventLoop::quit);
    QObject::connect(&writable, &QSocketNotifier::activated, &loop, &QEventLoop::quit);
    QTimer timer;
    timer.setSingleShot(true);
    timer.setTimerType(Qt::PreciseTimer);
    QObject::connect(&timer, &QTimer::timeout, &loop, &QEventLoop::quit);
    for (;;) {
        const int r = ::poll(&fd, 1, 0);
        if (r != 0 || deadline.hasExpired())
            return r;
        timer.start(Remaining(deadline));
        if (loop.exec() < 0)
            return ::poll(&fd, 1, Remaining(deadline)); // the application is quitting
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
