// Child processes run side by side: each is started with its stdout and
// stderr on pipes, its stdout read as lines, its stderr kept (the tail) for
// a process that ends without saying why, and reaped when both pipes close.
// Ctrl-C or SIGTERM asks every child to stop (SIGINT); a second signal, or
// the grace running out, terminates (SIGTERM) and at last kills (SIGKILL).
#pragma once

#include <chrono>
#include <string>
#include <sys/types.h>
#include <vector>

class ProcessRunner
{
public:
    using Clock = std::chrono::steady_clock;

    // What happens to the children, told as it happens.
    class IListener
    {
    public:
        virtual ~IListener() = default;
        // The child is about to be started.
        virtual void OnStart(size_t /*child*/) {}
        // The child could not be started; text says why.
        virtual void OnSpawnFailed(size_t child, const std::string& text) = 0;
        // A stop came before the child's turn: it is never started.
        virtual void OnSkipped(size_t child) = 0;
        // One line the child wrote on stdout (without its end).
        virtual void OnLine(size_t child, const std::string& line) = 0;
        // The child ended with this waitpid status; errTail is the end of
        // what it wrote on stderr.
        virtual void OnExit(size_t child, int status, const std::string& errTail) = 0;
        // When the listener wants OnWake (a redraw); Clock::time_point::max() for never.
        virtual Clock::time_point WakeAt() const { return Clock::time_point::max(); }
        virtual void OnWake() {}
    };

    // A second Ctrl-C, or a child that has not ended this long after the
    // first (a reply timeout is at most 10 s), is terminated, which still
    // removes its temporary files; it is killed after kKillGrace more.
    static constexpr auto kStopGrace = std::chrono::seconds(15);
    static constexpr auto kKillGrace = std::chrono::seconds(5);

    explicit ProcessRunner(Clock::duration stopGrace = kStopGrace,
                           Clock::duration killGrace = kKillGrace)
        : m_StopGrace(stopGrace), m_KillGrace(killGrace)
    {
    }

    // This program's path, to start it again; raises NxException.
    static std::string SelfPath();

    // The child's argv; argv[0] is the program's path. Returns its number.
    size_t Add(std::vector<std::string> argv);
    // Starts the children in order, at most jobs at once (0: all), and
    // returns when all have ended. SIGINT and SIGTERM are this run's while
    // it lasts. Raises NxException when the signals cannot be watched.
    void Run(IListener& listener, size_t jobs = 0);
    // A stop was asked for (Ctrl-C or SIGTERM reached this process).
    bool Stopping() const { return m_nStopLevel > 0; }

private:
    struct Child
    {
        std::vector<std::string> Argv;
        pid_t Pid = -1;
        int Out = -1, Err = -1;
        std::string OutBuf, ErrBuf;
    };
    void Spawn(size_t i, IListener& listener);
    void Read(size_t i, bool isOut, IListener& listener);
    void Stop();
    size_t Running() const;
    int PollTimeout(const IListener& listener) const;

    Clock::duration m_StopGrace, m_KillGrace;
    std::vector<Child> m_Children;
    size_t m_nNext = 0;   // the next child to start
    int m_nStopLevel = 0; // 1 asked to stop, 2 terminated, 3 killed
    Clock::time_point m_NextStop{};
};
