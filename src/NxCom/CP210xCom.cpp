#include "NxCom/CP210xCom.h"

#include "NxClock.h"
#include "NxUi.h"

#include <cerrno>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <set>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

using namespace Bridge;

CP2102Com::CP2102Com(int devIndex) : m_nDevIndex(devIndex) {}

CP2102Com::~CP2102Com()
{
    if (m_hDev)
        Close();
    CloseTrace();
}

NxStatus CP2102Com::GetNumDevices(uint32_t& count)
{
    return Lib().GetNumDevices(count);
}

NxStatus CP2102Com::GetIds(int index, uint32_t& pid, uint32_t& vid)
{
    std::string pidText, vidText;
    NxStatus st = Lib().GetProductString(static_cast<uint32_t>(index), pidText, kProductId);
    if (st != kSuccess)
        return st;
    st = Lib().GetProductString(static_cast<uint32_t>(index), vidText, kVendorId);
    if (st != kSuccess)
        return st;
    pid = static_cast<uint32_t>(std::strtoul(pidText.c_str(), nullptr, 16));
    vid = static_cast<uint32_t>(std::strtoul(vidText.c_str(), nullptr, 16));
    return kSuccess;
}

NxStatus CP2102Com::GetSerial(std::string& serial, int index)
{
    std::string text;
    const NxStatus st = Lib().GetProductString(static_cast<uint32_t>(index), text, kSerialNumber);
    if (st == kSuccess)
        serial = text;
    return st;
}

NxStatus CP2102Com::GetDisplayName(std::string& name, int index)
{
    std::string desc, serial;
    NxStatus st = Lib().GetProductString(static_cast<uint32_t>(index), desc, kDescription);
    if (st != kSuccess)
        return st;
    st = Lib().GetProductString(static_cast<uint32_t>(index), serial, kSerialNumber);
    if (st != kSuccess)
        return st;
    name = desc + " (#" + serial + ")";
    return kSuccess;
}

const char* CP2102Com::StatusText(NxStatus status)
{
    switch (status) {
    case 0:
        return "Success";
    case 1:
        return "Invalid handle";
    case 2:
        return "Read error";
    case 3:
        return "RX queue not ready";
    case 4:
        return "Write error";
    case 5:
        return "Reset error";
    case 6:
        return "Invalid parameter";
    case 7:
        return "Invalid request length";
    case 8:
        return "Device IO Failed";
    case 9:
        return "Invalid baudrate";
    case 10:
        return "Function not supported";
    case 11:
        return "Global data error";
    case 12:
        return "System error code";
    case 13:
        return "Read timed out";
    case 14:
        return "Write timed out";
    case 15:
        return "IO pending";
    case 255:
        return "Device not found";
    case NX_WRONG_STATE:
        return "Device already opened";
    case NX_NO_DEVICE:
        return "No device available";
    default:
        return "Unknown error";
    }
}

NxStatus CP2102Com::Open(Bridge::OpenProblem* problem)
{
    if (m_hDev)
        return NX_WRONG_STATE;
    std::unique_ptr<IPort> port;
    const NxStatus st = Lib().Open(static_cast<uint32_t>(m_nDevIndex), port, problem);
    if (st != kSuccess) {
        if (port)
            port->Close();
        return st;
    }
    m_hDev = std::move(port);
    return kSuccess;
}

NxStatus CP2102Com::Close()
{
    if (!m_hDev)
        return NX_WRONG_STATE;
    const NxStatus st = m_hDev->Close();
    m_hDev.reset();
    return st;
}

NxStatus CP2102Com::SetBaudRate(uint32_t baud)
{
    return m_hDev ? m_hDev->SetBaudRate(baud) : kInvalidHandle;
}

NxStatus CP2102Com::SetTimeouts(uint32_t readMs, uint32_t writeMs)
{
    return Lib().SetTimeouts(readMs, writeMs);
}

NxStatus CP2102Com::Flush()
{
    return m_hDev ? m_hDev->Flush(true, true) : kInvalidHandle;
}

// Repeats one library transfer until count bytes have moved or it fails.
// step(offset, n, moved) does one library call; done holds the bytes moved.
template <class Step>
static NxStatus TransferAll(bool open, uint32_t count, NxStatus stall, uint32_t& done, Step step)
{
    done = 0;
    while (done < count) {
        if (!open)
            return kInvalidHandle;
        uint32_t moved = 0;
        const NxStatus st = step(done, count - done, moved);
        done += moved < count - done ? moved : count - done;
        if (st != kSuccess)
            return st;
        // A backend that reports success without moving a byte must not spin here.
        if (moved == 0)
            return stall;
    }
    return kSuccess;
}

NxStatus CP2102Com::Write(const uint8_t* data, uint32_t count)
{
    TraceLine("Writing...\n");
    uint32_t written = 0;
    const NxStatus st = TransferAll(m_hDev != nullptr, count, kWriteTimedOut, written,
                                    [&](uint32_t at, uint32_t n, uint32_t& moved) {
                                        return m_hDev->Write(data + at, n, moved);
                                    });
    if (st == kSuccess) {
        TraceData("SI_Write", data, count);
    } else {
        if (written != count)
            TraceLine("Write failed, %d bytes were not written\n",
                      static_cast<int>(count - written));
        TraceLine("Write failed, error code = %d\n", st);
    }
    return st;
}

NxStatus CP2102Com::Read(uint8_t* buf, uint32_t count)
{
    TraceLine("Reading...\n");
    uint32_t received = 0;
    const NxStatus st = TransferAll(
        m_hDev != nullptr, count, kReadTimedOut, received,
        [&](uint32_t at, uint32_t n, uint32_t& moved) { return m_hDev->Read(buf + at, n, moved); });
    if (st == kSuccess) {
        TraceData("SI_Read", buf, received);
    } else {
        if (received != 0)
            TraceData("Read failed but some bytes received", buf, received);
        TraceLine("Read failed, error code = %d (%s)\n", st, StatusText(st));
    }
    return st;
}

namespace {

std::mutex g_ToldLock;
std::set<std::string> g_Told; // what was said about which log

// A log file opened for writing as OpenTrace promises, or -1 with errno.
int OpenLogFile(const std::string& path)
{
    // O_NONBLOCK: a FIFO planted at the path must not wait for a reader.
    const int fd =
        ::open(path.c_str(), O_WRONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK, 0600);
    if (fd < 0)
        return -1;
    struct stat st
    {
    };
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        errno = EINVAL;
        return -1;
    }
    return fd;
}

std::string WhyNot(int err)
{
    // O_NOFOLLOW says ELOOP for a symbolic link.
    if (err == ELOOP)
        return "it is a symbolic link";
    // ENXIO: a FIFO without a reader, opened without waiting for one.
    if (err == EINVAL || err == ENXIO)
        return "it is not a regular file";
    return std::strerror(err);
}

std::string NoLogText(const std::string& path, const std::string& why)
{
    return "The communication log " + path + " cannot be written: " + why +
           ". The program goes on without it.";
}

// Through the message sink, once per log, subject and process: a device
// opened again says nothing new. No caption: the text names the log.
void TellOnce(const std::string& key, const std::string& text, INxMessageSink::Icon icon)
{
    {
        std::lock_guard<std::mutex> lock(g_ToldLock);
        if (!g_Told.insert(key).second)
            return;
    }
    NxMessages().ShowMessage(text, "", icon);
}

} // namespace

void ReportComLogProblem(const std::string& path, const std::string& text)
{
    TellOnce(path, text, INxMessageSink::Icon::Warning);
}

namespace {

constexpr const char* kInUse = "is in use by another program";

// Why the opened log fd must be left alone, or "" when this program may
// empty and write it: another user's file (a shared folder), a file with
// other names (a hard link planted there), or one another program logs into.
// On "" the lock is held.
std::string NotOurs(int fd)
{
    struct stat st
    {
    };
    if (::fstat(fd, &st) != 0)
        return std::strerror(errno);
    if (st.st_uid != ::geteuid())
        return "belongs to another user";
    if (st.st_nlink != 1)
        return "has another name (a hard link)";
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0)
        return kInUse;
    return {};
}

// A file at path that this program may not open, because another user owns it.
bool ForeignFile(const std::string& path)
{
    struct stat st
    {
    };
    return ::lstat(path.c_str(), &st) == 0 && st.st_uid != ::geteuid();
}

} // namespace

std::string CP2102Com::OpenTrace(const std::string& path)
{
    CloseTrace();
    std::string used = path;
    std::string why; // the log at used must be left alone, and why
    int fd = OpenLogFile(used);
    if (fd >= 0)
        why = NotOurs(fd);
    else if ((errno == EACCES || errno == EPERM) && ForeignFile(used))
        why = "belongs to another user"; // a shared sticky folder refuses it
    if (!why.empty()) {
        // Write beside it instead of into another's frames or file.
        if (fd >= 0)
            ::close(fd);
        const std::string stem = path.size() > 4 && path.compare(path.size() - 4, 4, ".txt") == 0
                                     ? path.substr(0, path.size() - 4)
                                     : path;
        used = stem + "-" + std::to_string(::getpid()) + ".txt";
        fd = OpenLogFile(used);
        const std::string whyNot = fd >= 0 ? NotOurs(fd) : std::string();
        if (!whyNot.empty()) {
            ::close(fd);
            fd = -1;
            if (whyNot != kInUse) {
                ReportComLogProblem(used, NoLogText(used, "it " + whyNot));
                return {};
            }
            errno = EWOULDBLOCK;
        }
        if (fd >= 0)
            TellOnce(path + " beside " + used,
                     "The communication log " + path + " " + why + "; this one writes " + used +
                         ".",
                     INxMessageSink::Icon::Information);
    }
    // Emptied only now: the lock says no one else is writing it.
    if (fd >= 0 && ::ftruncate(fd, 0) != 0) {
        const int err = errno;
        ::close(fd);
        fd = -1;
        errno = err;
    }
    FILE* f = fd >= 0 ? ::fdopen(fd, "w") : nullptr;
    if (!f) {
        const int err = errno;
        if (fd >= 0)
            ::close(fd);
        ReportComLogProblem(used, NoLogText(used, WhyNot(err)));
        return {};
    }
    CEasyMutex lock(m_TraceLock);
    m_pTrace = f;
    m_TracePath = used;
    return used;
}

void CP2102Com::TraceFailed(CEasyMutex& lock)
{
    const int err = errno ? errno : EIO;
    std::fclose(m_pTrace);
    m_pTrace = nullptr;
    const std::string path = m_TracePath;
    // The desktop program's box waits for the user: never under the lock.
    lock.Unlock();
    ReportComLogProblem(path, NoLogText(path, WhyNot(err)));
}

void CP2102Com::CloseTrace()
{
    CEasyMutex lock(m_TraceLock);
    if (m_pTrace)
        std::fclose(m_pTrace);
    m_pTrace = nullptr;
}

static void FormatStamp(char (&out)[32], const NxLocalTime& t)
{
    std::snprintf(out, sizeof out, "%02d:%02d:%02d.%03d", t.Hour % 100, t.Minute % 100,
                  t.Second % 100, t.Millisecond % 1000);
}

void CP2102Com::TraceLine(const char* fmt, ...)
{
    if (!m_pTrace)
        return;
    char stamp[32];
    FormatStamp(stamp, NxClock().LocalTime());
    CEasyMutex lock(m_TraceLock);
    if (!m_pTrace)
        return;
    errno = 0;
    std::fprintf(m_pTrace, "%s: ", stamp);
    va_list args;
    va_start(args, fmt);
    std::vfprintf(m_pTrace, fmt, args);
    va_end(args);
    if (std::fflush(m_pTrace) != 0 || std::ferror(m_pTrace))
        TraceFailed(lock);
}

void CP2102Com::TraceData(const char* label, const uint8_t* data, uint32_t count)
{
    if (!m_pTrace)
        return;
    char stamp[32];
    FormatStamp(stamp, NxClock().LocalTime());
    CEasyMutex lock(m_TraceLock);
    if (!m_pTrace)
        return;
    errno = 0;
    if (!data || count == 0) {
        std::fprintf(m_pTrace, "%s: %s: (no data)", stamp, label);
        if (std::fflush(m_pTrace) != 0 || std::ferror(m_pTrace))
            TraceFailed(lock);
        return;
    }
    std::string prefix = std::string(stamp) + ": " + label + ": ";
    if (prefix.size() < 32)
        prefix.append(32 - prefix.size(), ' ');
    const size_t width = prefix.size();
    bool first = true;
    while (count > 0) {
        const uint32_t c = count < 16 ? count : 16;
        std::string line = first ? prefix : std::string(width, ' ');
        first = false;
        char hex[4];
        for (uint32_t k = 0; k < 16; ++k) {
            if (k == 4 || k == 12)
                line += ' ';
            if (k == 8)
                line += k < c ? "| " : "  ";
            if (k < c) {
                std::snprintf(hex, sizeof hex, "%02X ", data[k]);
                line += hex;
            } else {
                line += "   ";
            }
        }
        line += " [";
        for (uint32_t k = 0; k < 16; ++k) {
            if (k >= c)
                line += ' ';
            else if (data[k] >= 0x20 && data[k] <= 0x7E)
                line += static_cast<char>(data[k]);
            else
                line += static_cast<char>(0xB7); // middle dot, Windows-1252
        }
        line += "]\n";
        std::fputs(line.c_str(), m_pTrace);
        data += c;
        count -= c;
    }
    if (std::fflush(m_pTrace) != 0 || std::ferror(m_pTrace))
        TraceFailed(lock);
}
