#include "Download/TempFile.h"

#include "NxException.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <unistd.h>
#include <vector>

namespace {

// The temporary files a download holds right now, so that a signal handler
// can remove them (unlink is async-signal-safe). Each path is a copy of its
// own, published whole through an atomic pointer, so any length fits and the
// handler never sees one half made or half freed.
constexpr int kMaxPending = 4;
std::atomic<char*> g_Pending[kMaxPending];
static_assert(std::atomic<char*>::is_always_lock_free, "read from a signal handler");

// False when every slot is taken: the caller must not go on with a file that
// a signal would leave behind.
bool Register(const std::string& path)
{
    auto copy = std::make_unique<char[]>(path.size() + 1);
    std::memcpy(copy.get(), path.c_str(), path.size() + 1);
    for (auto& slot : g_Pending) {
        char* expected = nullptr;
        if (slot.compare_exchange_strong(expected, copy.get())) {
            copy.release();
            return true;
        }
    }
    return false;
}

void Unregister(const std::string& path)
{
    for (auto& slot : g_Pending) {
        char* p = slot.load();
        if (p && path == p && slot.compare_exchange_strong(p, nullptr))
            delete[] p;
    }
}

void OnFatalSignal(int sig)
{
    RemovePendingTempFiles();
    std::signal(sig, SIG_DFL);
    std::raise(sig);
}

} // namespace

TempFile::TempFile(const char* tag)
{
    const char* dir = std::getenv("TMPDIR");
    std::string pattern = std::string(dir && *dir ? dir : "/tmp") + "/nxupdate-" + tag + "-XXXXXX";
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    const int fd = mkstemp(name.data());
    if (fd < 0)
        ThrowNx("Cannot create a temporary file in %s: %s", dir && *dir ? dir : "/tmp",
                std::strerror(errno));
    m_Path = name.data();
    if (!Register(m_Path)) {
        ::close(fd);
        std::remove(m_Path.c_str());
        ThrowNx("Cannot keep track of temporary file %s: too many at once", m_Path.c_str());
    }
    m_pFile = fdopen(fd, "wb");
    if (!m_pFile) {
        ::close(fd);
        Unregister(m_Path);
        std::remove(m_Path.c_str());
        ThrowNx("Cannot open temporary file %s: %s", m_Path.c_str(), std::strerror(errno));
    }
}

TempFile::~TempFile()
{
    if (m_pFile)
        std::fclose(m_pFile);
    Unregister(m_Path);
    std::remove(m_Path.c_str());
}

void TempFile::Write(const void* data, size_t n)
{
    if (n > 0 && std::fwrite(data, 1, n, m_pFile) != n)
        ThrowNx("Cannot write temporary file %s: %s", m_Path.c_str(), std::strerror(errno));
}

void TempFile::Close()
{
    FILE* f = m_pFile;
    m_pFile = nullptr;
    if (f && std::fclose(f) != 0)
        ThrowNx("Cannot write temporary file %s: %s", m_Path.c_str(), std::strerror(errno));
}

void RemovePendingTempFiles()
{
    for (auto& slot : g_Pending)
        if (const char* p = slot.load())
            ::unlink(p);
}

void RemoveTempFilesOnFatalSignals()
{
    std::vector<int> sigs = {SIGHUP,  SIGINT,  SIGQUIT, SIGABRT,   SIGUSR1, SIGUSR2,
                             SIGPIPE, SIGALRM, SIGTERM, SIGXCPU,   SIGXFSZ, SIGVTALRM,
                             SIGPROF, SIGIO,   SIGPWR,  SIGSTKFLT, SIGSYS,  SIGTRAP};
#if !defined(__SANITIZE_ADDRESS__)
    // A sanitizer reports these itself.
    sigs.insert(sigs.end(), {SIGSEGV, SIGBUS, SIGILL, SIGFPE});
#endif
    for (int sig = SIGRTMIN; sig <= SIGRTMAX; ++sig)
        sigs.push_back(sig);
    for (int sig : sigs) {
        struct sigaction old
        {
        };
        // Only the default ends the process: a signal the caller ignores
        // (nohup, a closed pipe) or handles itself stays as it is.
        if (sigaction(sig, nullptr, &old) != 0 || (old.sa_flags & SA_SIGINFO) ||
            old.sa_handler != SIG_DFL)
            continue;
        struct sigaction sa
        {
        };
        sa.sa_handler = OnFatalSignal;
        sigemptyset(&sa.sa_mask);
        sigaction(sig, &sa, nullptr);
    }
}
