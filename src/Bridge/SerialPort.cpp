#include "Bridge/SerialPort.h"

#include "NxClock.h"

#include <cerrno>
#include <chrono>
#include <climits>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace Bridge {

namespace {

using Deadline = std::chrono::steady_clock::time_point;

Deadline After(uint32_t ms)
{
    return std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
}

// Rounded up, so a poll never ends just before the deadline and spins.
int RemainingMs(Deadline d)
{
    const auto left = d - std::chrono::steady_clock::now();
    if (left <= left.zero())
        return 0;
    const auto ms = std::chrono::ceil<std::chrono::milliseconds>(left).count();
    return ms > INT_MAX ? INT_MAX : static_cast<int>(ms);
}

// Errors that mean the device went away (unplugged bridge, closed pty master).
Status IoFailure(int err, Status other)
{
    switch (err) {
    case EIO:
    case ENXIO:
    case ENODEV:
    case EPIPE:
        return kDeviceIoFailed;
    case EBADF:
        return kInvalidHandle;
    default:
        return other;
    }
}

// Waits until fd is ready for events. kSuccess means "try again"; hup tells
// that the device also reported a hang-up, so a further EAGAIN is final.
Status WaitReady(int fd, short events, Deadline d, Status timedOut, bool& hup)
{
    for (;;) {
        const int left = RemainingMs(d);
        if (left == 0)
            return timedOut;
        pollfd p{fd, events, 0};
        const int r = NxClock().PollFd(p, left); // the window keeps working meanwhile
        if (r < 0) {
            if (errno == EINTR)
                continue;
            return IoFailure(errno, kSystemErrorCode);
        }
        if (r == 0)
            continue; // the deadline check above decides
        if (p.revents & POLLNVAL)
            return kInvalidHandle;
        if (p.revents & (POLLHUP | POLLERR)) {
            if (!(p.revents & events))
                return kDeviceIoFailed;
            hup = true;
        }
        return kSuccess;
    }
}

speed_t SpeedOf(uint32_t baud)
{
    switch (baud) {
    case 300:
        return B300;
    case 600:
        return B600;
    case 1200:
        return B1200;
    case 2400:
        return B2400;
    case 4800:
        return B4800;
    case 9600:
        return B9600;
    case 19200:
        return B19200;
    case 38400:
        return B38400;
    case 57600:
        return B57600;
    case 115200:
        return B115200;
    case 230400:
        return B230400;
    case 460800:
        return B460800;
    case 921600:
        return B921600;
    default:
        return B0;
    }
}

} // namespace

SerialPort::~SerialPort()
{
    if (m_Fd >= 0)
        Close();
}

Status SerialPort::Open(const std::string& path)
{
    if (m_Fd >= 0)
        return kInvalidParameter;
    m_LastProblem = Problem::None;
    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        const int err = errno;
        if (err == ENOENT || err == ENODEV || err == ENXIO || err == ENOTDIR)
            return kDeviceNotFound;
        // EBUSY: another opener set the terminal's exclusive mode.
        if (err == EACCES || err == EPERM)
            m_LastProblem = Problem::Permission;
        else if (err == EBUSY)
            m_LastProblem = Problem::Busy;
        return kDeviceIoFailed;
    }
#ifdef TIOCGEXCL
    // Root gets past another program's exclusive mode: it is busy all the same.
    int exclusive = 0;
    if (::ioctl(fd, TIOCGEXCL, &exclusive) == 0 && exclusive != 0) {
        m_LastProblem = Problem::Busy;
        ::close(fd);
        return kDeviceIoFailed;
    }
#endif
    // TIOCEXCL does not stop root; the lock stops every opener that asks for it.
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        if (errno == EWOULDBLOCK)
            m_LastProblem = Problem::Busy;
        ::close(fd);
        return kDeviceIoFailed;
    }
    termios t{};
    if (::tcgetattr(fd, &t) != 0) {
        ::close(fd);
        return kDeviceIoFailed;
    }
#ifdef TIOCEXCL
    m_bExclusive = ::ioctl(fd, TIOCEXCL) == 0;
#endif
    ::cfmakeraw(&t);
    t.c_cflag &= ~(PARENB | CSTOPB | CSIZE | CRTSCTS);
    t.c_cflag |= CS8 | CLOCAL | CREAD;
    t.c_iflag &= ~(IXON | IXOFF | IXANY);
    // VMIN 1: a live port with no data answers EAGAIN, so a read of 0 bytes
    // can only mean a hang-up.
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
    if (::tcsetattr(fd, TCSANOW, &t) != 0) {
        ::close(fd);
        return kDeviceIoFailed;
    }
    m_Fd = fd;
    return kSuccess;
}

Status SerialPort::Close()
{
    if (m_Fd < 0)
        return kInvalidHandle;
#ifdef TIOCNXCL
    // Others may hold the terminal open after us; do not leave it locked,
    // nor unlock what another program locked.
    if (m_bExclusive)
        ::ioctl(m_Fd, TIOCNXCL);
#endif
    m_bExclusive = false;
    ::close(m_Fd);
    m_Fd = -1;
    return kSuccess;
}

Status SerialPort::Read(uint8_t* buf, uint32_t count, uint32_t& got, uint32_t timeoutMs)
{
    got = 0;
    if (m_Fd < 0)
        return kInvalidHandle;
    const Deadline deadline = After(timeoutMs);
    bool hup = false;
    while (got < count) {
        const ssize_t n = ::read(m_Fd, buf + got, count - got);
        if (n > 0) {
            got += static_cast<uint32_t>(n);
            continue;
        }
        if (n == 0)
            return kDeviceIoFailed; // hang-up
        if (errno == EINTR)
            continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK)
            return IoFailure(errno, kReadError);
        if (hup)
            return kDeviceIoFailed;
        const Status st = WaitReady(m_Fd, POLLIN, deadline, kReadTimedOut, hup);
        if (st != kSuccess)
            return st;
    }
    return kSuccess;
}

Status SerialPort::Write(const uint8_t* buf, uint32_t count, uint32_t& written, uint32_t timeoutMs)
{
    written = 0;
    if (m_Fd < 0)
        return kInvalidHandle;
    const Deadline deadline = After(timeoutMs);
    bool hup = false;
    while (written < count) {
        const ssize_t n = ::write(m_Fd, buf + written, count - written);
        if (n > 0) {
            written += static_cast<uint32_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK)
            return IoFailure(errno, kWriteError);
        if (hup)
            return kDeviceIoFailed;
        const Status st = WaitReady(m_Fd, POLLOUT, deadline, kWriteTimedOut, hup);
        if (st != kSuccess)
            return st;
    }
    return kSuccess;
}

Status SerialPort::SetBaudRate(uint32_t baud)
{
    if (m_Fd < 0)
        return kInvalidHandle;
    const speed_t speed = SpeedOf(baud);
    if (speed == B0)
        return kInvalidBaudrate;
    termios t{};
    if (::tcgetattr(m_Fd, &t) != 0)
        return IoFailure(errno, kDeviceIoFailed);
    ::cfsetispeed(&t, speed);
    ::cfsetospeed(&t, speed);
    if (::tcsetattr(m_Fd, TCSANOW, &t) != 0)
        return errno == EINVAL ? kInvalidBaudrate : IoFailure(errno, kDeviceIoFailed);
    return kSuccess;
}

Status SerialPort::Flush(bool tx, bool rx)
{
    if (m_Fd < 0)
        return kInvalidHandle;
    if (!tx && !rx)
        return kSuccess;
    const int what = tx && rx ? TCIOFLUSH : (tx ? TCOFLUSH : TCIFLUSH);
    if (::tcflush(m_Fd, what) != 0)
        return IoFailure(errno, kDeviceIoFailed);
    return kSuccess;
}

} // namespace Bridge
