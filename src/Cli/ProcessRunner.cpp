#include "Cli/ProcessRunner.h"

#include "NxException.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
#include <utility>

extern char** environ;

namespace {

// What is kept of a process's stderr for its failure text.
constexpr size_t kStderrKeep = 4096;

int g_SignalPipe[2] = {-1, -1};

void OnSignal(int sig)
{
    const int saved = errno;
    const auto b = static_cast<unsigned char>(sig);
    [[maybe_unused]] const ssize_t n = ::write(g_SignalPipe[1], &b, 1);
    errno = saved;
}

int MillisecondsUntil(ProcessRunner::Clock::time_point t)
{
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(t - ProcessRunner::Clock::now());
    return static_cast<int>(std::clamp<int64_t>(left.count(), 0, 60000));
}

} // namespace

std::string ProcessRunner::SelfPath()
{
    char buf[4096];
    const ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n <= 0)
        ThrowNx("Cannot find this program to start it once per device: %s", std::strerror(errno));
    return std::string(buf, static_cast<size_t>(n));
}

size_t ProcessRunner::Add(std::vector<std::string> argv)
{
    Child c;
    c.Argv = std::move(argv);
    m_Children.push_back(std::move(c));
    return m_Children.size() - 1;
}

size_t ProcessRunner::Running() const
{
    return static_cast<size_t>(std::count_if(m_Children.begin(), m_Children.end(),
                                             [](const Child& c) { return c.Pid > 0; }));
}

void ProcessRunner::Spawn(size_t i, IListener& listener)
{
    Child& c = m_Children[i];
    listener.OnStart(i);
    int out[2], err[2];
    if (::pipe2(out, O_CLOEXEC) != 0)
        return listener.OnSpawnFailed(i, StrFormat("Cannot start: %s", std::strerror(errno)));
    if (::pipe2(err, O_CLOEXEC) != 0) {
        ::close(out[0]);
        ::close(out[1]);
        return listener.OnSpawnFailed(i, StrFormat("Cannot start: %s", std::strerror(errno)));
    }
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&fa, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&fa, err[1], STDERR_FILENO);
    std::vector<char*> argv;
    for (std::string& a : c.Argv)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    const int rc = posix_spawn(&c.Pid, c.Argv[0].c_str(), &fa, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&fa);
    ::close(out[1]);
    ::close(err[1]);
    if (rc != 0) {
        c.Pid = -1;
        ::close(out[0]);
        ::close(err[0]);
        return listener.OnSpawnFailed(i, StrFormat("Cannot start: %s", std::strerror(rc)));
    }
    c.Out = out[0];
    c.Err = err[0];
}

void ProcessRunner::Read(size_t i, bool isOut, IListener& listener)
{
    Child& c = m_Children[i];
    int& fd = isOut ? c.Out : c.Err;
    std::string& buf = isOut ? c.OutBuf : c.ErrBuf;
    char chunk[4096];
    const ssize_t n = ::read(fd, chunk, sizeof chunk);
    if (n < 0 && (errno == EINTR || errno == EAGAIN))
        return;
    if (n <= 0) {
        ::close(fd);
        fd = -1;
        if (isOut && !buf.empty())
            listener.OnLine(i, std::exchange(buf, {}));
        return;
    }
    buf.append(chunk, static_cast<size_t>(n));
    if (!isOut) {
        if (buf.size() > kStderrKeep)
            buf.erase(0, buf.size() - kStderrKeep);
        return;
    }
    size_t begin = 0;
    for (size_t nl; (nl = buf.find('\n', begin)) != std::string::npos; begin = nl + 1)
        listener.OnLine(i, buf.substr(begin, nl - begin));
    buf.erase(0, begin);
}

void ProcessRunner::Stop()
{
    // Ctrl-C first asks; a second signal, or the grace running out, insists.
    const int level = m_nStopLevel + 1;
    if (level > 3)
        return;
    m_nStopLevel = level;
    m_NextStop = Clock::now() + (level == 1 ? m_StopGrace : m_KillGrace);
    for (const Child& c : m_Children)
        if (c.Pid > 0)
            ::kill(c.Pid, level == 1 ? SIGINT : level == 2 ? SIGTERM : SIGKILL);
}

int ProcessRunner::PollTimeout(const IListener& listener) const
{
    Clock::time_point wake = listener.WakeAt();
    if (m_nStopLevel > 0 && m_nStopLevel < 3)
        wake = std::min(wake, m_NextStop);
    return wake == Clock::time_point::max() ? -1 : MillisecondsUntil(wake);
}

void ProcessRunner::Run(IListener& listener, size_t jobs)
{
    if (jobs == 0)
        jobs = m_Children.size();
    if (::pipe2(g_SignalPipe, O_CLOEXEC | O_NONBLOCK) != 0)
        ThrowNx("Cannot watch for signals: %s", std::strerror(errno));
    struct sigaction sa
    {
    };
    sa.sa_handler = OnSignal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    // A hang-up only closes the output (TreatHangUpAsClosedOutput): the
    // children go on.
    struct sigaction old[2]{};
    ::sigaction(SIGINT, &sa, &old[0]);
    ::sigaction(SIGTERM, &sa, &old[1]);

    std::vector<pollfd> fds;
    std::vector<std::pair<size_t, bool>> owners; // child, stdout
    for (;;) {
        // A stop ends the queue too: who has not started, never does.
        for (; m_nNext < m_Children.size() && (Stopping() || Running() < jobs); ++m_nNext) {
            if (Stopping())
                listener.OnSkipped(m_nNext);
            else
                Spawn(m_nNext, listener);
        }
        if (Running() == 0)
            break;
        fds.assign(1, pollfd{g_SignalPipe[0], POLLIN, 0});
        owners.clear();
        for (size_t i = 0; i < m_Children.size(); ++i) {
            for (const bool isOut : {true, false}) {
                const int fd = isOut ? m_Children[i].Out : m_Children[i].Err;
                if (fd >= 0) {
                    fds.push_back({fd, POLLIN, 0});
                    owners.emplace_back(i, isOut);
                }
            }
        }
        if (::poll(fds.data(), fds.size(), PollTimeout(listener)) < 0 && errno != EINTR)
            break;
        if (fds[0].revents & POLLIN) {
            unsigned char sig = 0;
            while (::read(g_SignalPipe[0], &sig, 1) == 1)
                Stop();
        }
        for (size_t k = 1; k < fds.size(); ++k)
            if (fds[k].revents & (POLLIN | POLLHUP | POLLERR))
                Read(owners[k - 1].first, owners[k - 1].second, listener);
        for (size_t i = 0; i < m_Children.size(); ++i) {
            Child& c = m_Children[i];
            if (c.Pid <= 0 || c.Out >= 0 || c.Err >= 0)
                continue;
            int status = 0;
            if (::waitpid(c.Pid, &status, 0) != c.Pid)
                status = 0;
            c.Pid = -1;
            std::string err = c.ErrBuf;
            err.erase(err.find_last_not_of("\r\n") + 1);
            listener.OnExit(i, status, err);
        }
        if (m_nStopLevel > 0 && m_nStopLevel < 3 && Clock::now() >= m_NextStop && Running())
            Stop();
        if (Clock::now() >= listener.WakeAt())
            listener.OnWake();
    }
    ::sigaction(SIGINT, &old[0], nullptr);
    ::sigaction(SIGTERM, &old[1], nullptr);
    for (int& fd : g_SignalPipe)
        ::close(std::exchange(fd, -1));
}
