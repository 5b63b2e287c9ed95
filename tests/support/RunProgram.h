// Runs the programs under test as their users do: a child process with
// stdout and stderr on pipes, in an environment without the developer's
// NXUPDATE_PORTS.
#pragma once

#include "support/DrainPipes.h"
#include "support/TempFolder.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <map>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char** environ;

struct RunResult
{
    int Code = -1;
    std::string Out, Err;
};

struct RunOptions
{
    std::map<std::string, std::string> Env; // added to (or replacing in) the environment
    std::string Cwd;
    int Stdin = -1; // a descriptor for stdin; /dev/null when -1
};

// The environment without NXUPDATE_PORTS (a developer's ports must not leak
// into the tests), plus extra.
inline std::vector<std::string> Environment(const std::map<std::string, std::string>& extra)
{
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e) {
        const std::string kv = *e;
        const std::string key = kv.substr(0, kv.find('='));
        if (key != "NXUPDATE_PORTS" && !extra.count(key))
            env.push_back(kv);
    }
    for (const auto& [k, v] : extra)
        env.push_back(k + "=" + v);
    return env;
}

inline std::vector<char*> CStrings(std::vector<std::string>& v)
{
    std::vector<char*> out;
    for (std::string& s : v)
        out.push_back(s.data());
    out.push_back(nullptr);
    return out;
}

// Starts exe with stdout (and stderr, when errFd is given) on pipes.
inline pid_t Spawn(const std::string& exe, std::vector<std::string> args, const RunOptions& opts,
                   int& outFd, int* errFd)
{
    int out[2], err[2] = {-1, -1};
    if (::pipe2(out, O_CLOEXEC) != 0 || (errFd && ::pipe2(err, O_CLOEXEC) != 0))
        return -1;
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    if (opts.Stdin >= 0)
        posix_spawn_file_actions_adddup2(&fa, opts.Stdin, 0);
    else
        posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&fa, out[1], 1);
    if (errFd)
        posix_spawn_file_actions_adddup2(&fa, err[1], 2);
    if (!opts.Cwd.empty())
        posix_spawn_file_actions_addchdir_np(&fa, opts.Cwd.c_str());

    args.insert(args.begin(), exe);
    std::vector<std::string> env = Environment(opts.Env);
    auto argv = CStrings(args);
    auto envp = CStrings(env);
    pid_t pid = -1;
    if (posix_spawn(&pid, exe.c_str(), &fa, nullptr, argv.data(), envp.data()) != 0)
        pid = -1;
    posix_spawn_file_actions_destroy(&fa);
    ::close(out[1]);
    outFd = out[0];
    if (errFd) {
        ::close(err[1]);
        *errFd = err[0];
    }
    return pid;
}

inline RunResult RunProgram(const std::string& exe, const std::vector<std::string>& args,
                            const RunOptions& opts = {})
{
    RunResult r;
    int out = -1, err = -1;
    const pid_t pid = Spawn(exe, args, opts, out, &err);
    if (pid < 0)
        return r;
    if (!DrainPipes(out, err, r.Out, r.Err, std::chrono::seconds(60)))
        ::kill(pid, SIGKILL); // hung: the test fails on the code below
    int status = 0;
    ::waitpid(pid, &status, 0);
    r.Code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return r;
}

// A program that serves until it is stopped (nxsim), with the first lines it
// printed (the paths it serves on).
struct ServerProcess
{
    pid_t Pid = -1;
    int Out = -1, Err = -1;
    std::string FirstLine;
    std::vector<std::string> Lines; // the first lines asked for, when all came
};

// Starts exe and waits up to 5 s for each of its first lines on stdout.
inline ServerProcess StartServer(const std::string& exe, const std::vector<std::string>& args,
                                 size_t lines = 1)
{
    ServerProcess s;
    s.Pid = Spawn(exe, args, {}, s.Out, &s.Err);
    char c;
    pollfd p{s.Out, POLLIN, 0};
    for (size_t i = 0; i < lines && s.Pid > 0; ++i) {
        std::string line;
        bool ended = false;
        while (::poll(&p, 1, 5000) > 0 && ::read(s.Out, &c, 1) == 1 && !(ended = c == '\n'))
            line += c;
        if (i == 0)
            s.FirstLine = line;
        if (!ended)
            break;
        s.Lines.push_back(line);
    }
    if (s.Lines.size() < lines)
        s.Lines.clear();
    return s;
}

// Ends the server with SIGTERM: its exit code and what else it printed.
inline RunResult StopServer(ServerProcess& s)
{
    RunResult r;
    if (s.Pid <= 0)
        return r;
    ::kill(s.Pid, SIGTERM);
    DrainPipes(s.Out, s.Err, r.Out, r.Err, std::chrono::seconds(10));
    int status = 0;
    ::waitpid(s.Pid, &status, 0);
    r.Code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    s.Pid = -1;
    return r;
}

// A test of a built program, with a folder of its own that is removed at the
// end; skips when the program is not built.
class ProgramTest : public ::testing::Test
{
protected:
    explicit ProgramTest(std::string program) : m_Program(std::move(program)) {}

    void SetUp() override
    {
        if (::access(m_Program.c_str(), X_OK) != 0)
            GTEST_SKIP() << m_Program << " is not built; build it first";
    }

    TempFolder dir{"program"};

private:
    std::string m_Program;
};

// Stops a server at the end of its scope, also when a test returns early.
struct ServerStopper
{
    ServerProcess& Server;
    ~ServerStopper() { StopServer(Server); }
};

// Paths as NXUPDATE_PORTS lists them.
inline std::string PortList(const std::vector<std::string>& paths)
{
    std::string list;
    for (const std::string& p : paths)
        list += (list.empty() ? "" : ":") + p;
    return list;
}
