#include "SeveralDevices.h"

#include "CliSession.h"
#include "Command.h"
#include "DeviceEvents.h"
#include "NxCom/CP210xCom.h"
#include "NxException.h"
#include "TerminalProgress.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

// Ctrl-C asks every device's process to stop at its next step; one that has
// not ended after this long (a reply timeout is at most 10 s) is terminated,
// which still removes its temporary files, and killed after a few more.
constexpr auto kStopGrace = std::chrono::seconds(15);
constexpr auto kKillGrace = std::chrono::seconds(5);
// A terminal is redrawn at most this often, whatever the event rate.
constexpr auto kRedrawEvery = std::chrono::milliseconds(100);
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

// How one device's run ended.
enum class DeviceResult
{
    Done,
    Failed,
    Busy,        // another program holds the bridge
    Interrupted, // stopped by Ctrl-C or by the grace running out
};

// The word the summary and the JSON "result" give it.
const char* ResultWord(DeviceResult r)
{
    switch (r) {
    case DeviceResult::Done:
        return "done";
    case DeviceResult::Busy:
        return "busy";
    case DeviceResult::Interrupted:
        return "interrupted";
    default:
        return "failed";
    }
}

struct Worker
{
    std::string Serial;
    pid_t Pid = -1;
    int Out = -1, Err = -1;
    std::string OutBuf, ErrBuf;
    Clock::time_point Start, End;
    bool Ended = false; // done or failed is known
    DeviceResult Result = DeviceResult::Failed;
    std::string Text; // the status shown last, then the failure
    int Percent = -1;
    bool Bootloader = false;  // the failure left the controller in its bootloader
    bool UserStopped = false; // the process itself failed as interrupted
    CliJson Done;             // the done event
};

std::string Label(const std::string& serial)
{
    return serial.empty() ? "(no serial)" : serial;
}

std::string FirstLine(const std::string& text)
{
    return text.substr(0, text.find_first_of("\r\n"));
}

std::string Seconds(const Worker& w)
{
    return StrFormat("%.1f s", std::chrono::duration<double>(w.End - w.Start).count());
}

class Run
{
public:
    Run(const Command& cmd, const CliOptions& opts)
        : m_Cmd(cmd), m_Opts(opts), m_bTty(::isatty(STDERR_FILENO) == 1)
    {
    }

    void Add(const std::string& serial)
    {
        Worker w;
        w.Serial = serial;
        m_Workers.push_back(std::move(w));
    }
    // A device that is not started: its failure is known now.
    void Fail(size_t i, const std::string& text)
    {
        Worker& w = m_Workers[i];
        w.Start = w.End = Clock::now();
        End(w, DeviceResult::Failed, text);
    }
    int Execute();

private:
    void Spawn(Worker& w, const std::string& self);
    void Read(Worker& w, int& fd, std::string& buf, bool isOut);
    void OnLine(Worker& w, const std::string& line);
    void OnExit(Worker& w, int status);
    void End(Worker& w, DeviceResult result, const std::string& text);
    void Stop();
    void Emit(const CliJson& event);
    void Status(Worker& w);
    void Draw();
    void Summary();
    bool Running() const
    {
        return std::any_of(m_Workers.begin(), m_Workers.end(),
                           [](const Worker& w) { return w.Pid > 0; });
    }

    const Command& m_Cmd;
    const CliOptions& m_Opts;
    std::vector<Worker> m_Workers;
    bool m_bTty;
    size_t m_Drawn = 0; // live lines on the terminal
    bool m_bDirty = false;
    Clock::time_point m_LastDraw{};
    int m_nStopLevel = 0; // 1 asked to stop, 2 terminated, 3 killed
    Clock::time_point m_NextStop{};
};

std::string SelfPath()
{
    char buf[4096];
    const ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n <= 0)
        ThrowNx("Cannot find this program to start it once per device: %s", std::strerror(errno));
    return std::string(buf, static_cast<size_t>(n));
}

void Run::Spawn(Worker& w, const std::string& self)
{
    std::vector<std::string> args = {self, m_Cmd.Name(), "--device=" + w.Serial, "--events"};
    if (m_Opts.Channel)
        args.push_back("--channel=" + std::to_string(*m_Opts.Channel));
    if (m_Opts.File)
        args.push_back("--file=" + *m_Opts.File);
    if (m_Opts.DryRun)
        args.push_back("--dry-run");
    if (m_Opts.Simulate)
        args.push_back(m_Opts.ScenarioFile.empty() ? "--simulate"
                                                   : "--simulate=" + m_Opts.ScenarioFile);
    if (m_Opts.ComLog)
        args.push_back(m_Opts.ComLogDir.empty() ? "--comlog" : "--comlog=" + m_Opts.ComLogDir);
    for (const std::string& history : m_Opts.History)
        args.push_back("--history=" + history);
    if (m_Opts.Json)
        args.push_back("--json");

    w.Start = Clock::now();
    int out[2], err[2];
    if (::pipe2(out, O_CLOEXEC) != 0)
        return End(w, DeviceResult::Failed, StrFormat("Cannot start: %s", std::strerror(errno)));
    if (::pipe2(err, O_CLOEXEC) != 0) {
        ::close(out[0]);
        ::close(out[1]);
        return End(w, DeviceResult::Failed, StrFormat("Cannot start: %s", std::strerror(errno)));
    }
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&fa, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&fa, err[1], STDERR_FILENO);
    std::vector<char*> argv;
    for (std::string& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    const int rc = posix_spawn(&w.Pid, self.c_str(), &fa, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&fa);
    ::close(out[1]);
    ::close(err[1]);
    if (rc != 0) {
        w.Pid = -1;
        ::close(out[0]);
        ::close(err[0]);
        return End(w, DeviceResult::Failed, StrFormat("Cannot start: %s", std::strerror(rc)));
    }
    w.Out = out[0];
    w.Err = err[0];
    w.Text = "started";
}

void Run::Emit(const CliJson& event)
{
    PrintText(event.dump(-1, ' ', false, CliJson::error_handler_t::replace) + "\n");
}

// A status change: the live line, or one line of its own.
void Run::Status(Worker& w)
{
    if (m_Opts.Json)
        return;
    if (m_bTty) {
        m_bDirty = true;
        return;
    }
    WriteOutput(stderr, Label(w.Serial) + ": " + (w.Ended ? ResultWord(w.Result) : w.Text) + "\n");
}

void Run::End(Worker& w, DeviceResult result, const std::string& text)
{
    if (w.Ended)
        return;
    w.Ended = true;
    w.End = Clock::now();
    w.Result = result;
    w.Text = text;
    if (result == DeviceResult::Done)
        w.Percent = 100;
    // A failure the process could not report itself is told here.
    if (m_Opts.Json && result != DeviceResult::Done && w.Done.is_null())
        Emit({{"device", w.Serial},
              {"event", "failed"},
              {"error", text},
              {"busy", false},
              {"interrupted", false},
              {"bootloader", false}});
    Status(w);
}

void Run::OnLine(Worker& w, const std::string& line)
{
    CliJson e = CliJson::parse(line, nullptr, false);
    if (!e.is_object() || !e.contains("event") || !e["event"].is_string()) {
        w.Text = line; // not an event: show it as it is
        return Status(w);
    }
    e["device"] = w.Serial;
    const std::string kind = e["event"];
    if (m_Opts.Json && !w.Ended)
        Emit(e);
    if (kind == "progress") {
        w.Text = e.value("text", std::string());
        if (e.contains("percent") && e["percent"].is_number_integer())
            w.Percent = e["percent"];
        return Status(w);
    }
    w.Done = e;
    if (kind == "done")
        return End(w, DeviceResult::Done, e.value("checksum", std::string()));
    const bool busy = e.value("busy", false);
    w.UserStopped = e.value("interrupted", false);
    w.Bootloader = e.value("bootloader", false);
    End(w,
        busy            ? DeviceResult::Busy
        : w.UserStopped ? DeviceResult::Interrupted
                        : DeviceResult::Failed,
        e.value("error", std::string()));
}

void Run::Read(Worker& w, int& fd, std::string& buf, bool isOut)
{
    char chunk[4096];
    const ssize_t n = ::read(fd, chunk, sizeof chunk);
    if (n < 0 && (errno == EINTR || errno == EAGAIN))
        return;
    if (n <= 0) {
        ::close(fd);
        fd = -1;
        if (isOut && !buf.empty())
            OnLine(w, buf);
        return;
    }
    if (!isOut) {
        // Kept for a process that ends without saying why.
        buf.append(chunk, static_cast<size_t>(n));
        if (buf.size() > kStderrKeep)
            buf.erase(0, buf.size() - kStderrKeep);
        return;
    }
    buf.append(chunk, static_cast<size_t>(n));
    size_t begin = 0;
    for (size_t nl; (nl = buf.find('\n', begin)) != std::string::npos; begin = nl + 1)
        OnLine(w, buf.substr(begin, nl - begin));
    buf.erase(0, begin);
}

void Run::OnExit(Worker& w, int status)
{
    w.Pid = -1;
    if (w.Ended)
        return;
    std::string why =
        WIFSIGNALED(status)
            ? StrFormat("ended by signal %d (%s)", WTERMSIG(status), strsignal(WTERMSIG(status)))
            : StrFormat("ended with exit code %d", WEXITSTATUS(status));
    std::string text = "The process for this device " + why + " without a result";
    std::string err = w.ErrBuf;
    err.erase(err.find_last_not_of("\r\n") + 1);
    if (!err.empty())
        text += ":\n" + err;
    End(w, m_nStopLevel > 0 ? DeviceResult::Interrupted : DeviceResult::Failed, text);
}

void Run::Stop()
{
    // Ctrl-C first asks; a second signal, or the grace running out, insists.
    const int level = m_nStopLevel == 0 ? 1 : m_nStopLevel + 1;
    if (level > 3)
        return;
    m_nStopLevel = level;
    m_NextStop = Clock::now() + (level == 1 ? kStopGrace : kKillGrace);
    for (const Worker& w : m_Workers)
        if (w.Pid > 0)
            ::kill(w.Pid, level == 1 ? SIGINT : level == 2 ? SIGTERM : SIGKILL);
}

void Run::Draw()
{
    winsize ws{};
    const size_t cols =
        ::ioctl(STDERR_FILENO, TIOCGWINSZ, &ws) == 0 && ws.ws_col >= 20 ? ws.ws_col : 80;
    size_t width = 0;
    for (const Worker& w : m_Workers)
        width = std::max(width, Label(w.Serial).size());
    width = std::min<size_t>(width, 24);
    std::string out;
    if (m_Drawn > 0)
        out += StrFormat("\033[%zuA", m_Drawn);
    for (const Worker& w : m_Workers) {
        std::string label = Label(w.Serial);
        label.resize(width, ' ');
        std::string line = label + "  ";
        constexpr int kBar = 20;
        line += ProgressBar(w.Percent, kBar);
        line += w.Percent >= 0 ? StrFormat("%3d%% ", w.Percent) : "     ";
        const std::string first = FirstLine(w.Text);
        if (!w.Ended)
            line += first;
        else if (w.Result == DeviceResult::Done || w.UserStopped)
            line += ResultWord(w.Result);
        else
            line += std::string(ResultWord(w.Result)) + ": " + first;
        if (line.size() > cols - 1)
            line.resize(cols - 1);
        out += "\r" + line + "\033[K\n";
    }
    WriteOutput(stderr, out);
    m_Drawn = m_Workers.size();
    m_bDirty = false;
    m_LastDraw = Clock::now();
}

void Run::Summary()
{
    size_t ok = 0;
    for (const Worker& w : m_Workers)
        ok += w.Result == DeviceResult::Done;
    if (m_Opts.Json) {
        CliJson devices = CliJson::array();
        for (const Worker& w : m_Workers) {
            CliJson d = {
                {"device", w.Serial},
                {"result", ResultWord(w.Result)},
                {"seconds",
                 std::chrono::round<std::chrono::milliseconds>(w.End - w.Start).count() / 1000.0}};
            if (w.Result == DeviceResult::Done && !w.Text.empty())
                d["checksum"] = w.Text;
            if (w.Result != DeviceResult::Done) {
                d["error"] = w.Text;
                d["bootloader"] = w.Bootloader;
            }
            devices.push_back(d);
        }
        Emit({{"event", "summary"},
              {"devices", devices},
              {"succeeded", ok},
              {"failed", m_Workers.size() - ok}});
        return;
    }

    std::string text;
    // info: each report, under the device it came from.
    for (const Worker& w : m_Workers) {
        const std::string report = w.Done.is_object() ? w.Done.value("report", "") : "";
        if (report.empty())
            continue;
        text += Label(w.Serial) + ":\n";
        size_t begin = 0;
        for (size_t nl; (nl = report.find('\n', begin)) != std::string::npos; begin = nl + 1)
            text += "  " + report.substr(begin, nl - begin) + "\n";
        text += "\n";
    }
    const char* last = std::string(m_Cmd.Name()) == "download" ? "Checksum or failure" : "Failure";
    size_t wDev = 6, wRes = 6, wTime = 4;
    for (const Worker& w : m_Workers) {
        wDev = std::max(wDev, Label(w.Serial).size());
        wRes = std::max(wRes, std::strlen(ResultWord(w.Result)));
        wTime = std::max(wTime, Seconds(w).size());
    }
    const auto row = [&](const std::string& d, const std::string& r, const std::string& t,
                         const std::string& x) {
        std::string line =
            StrFormat("%-*s  %-*s  %*s  ", static_cast<int>(wDev), d.c_str(),
                      static_cast<int>(wRes), r.c_str(), static_cast<int>(wTime), t.c_str());
        const std::string indent(line.size(), ' ');
        size_t begin = 0;
        bool first = true;
        do {
            const size_t nl = x.find('\n', begin);
            line += (first ? "" : indent) + x.substr(begin, nl - begin);
            line.erase(line.find_last_not_of(' ') + 1);
            text += line + "\n";
            line.clear();
            first = false;
            begin = nl == std::string::npos ? nl : nl + 1;
        } while (begin != std::string::npos && begin < x.size());
    };
    row("Device", "Result", "Time", last);
    for (const Worker& w : m_Workers)
        row(Label(w.Serial), ResultWord(w.Result), Seconds(w), w.Text);
    text += StrFormat("%zu of %zu succeeded\n", ok, m_Workers.size());
    PrintText(text);
}

int Run::Execute()
{
    const std::string self = SelfPath();
    if (::pipe2(g_SignalPipe, O_CLOEXEC | O_NONBLOCK) != 0)
        ThrowNx("Cannot watch for signals: %s", std::strerror(errno));
    struct sigaction sa
    {
    };
    sa.sa_handler = OnSignal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    // A hang-up only closes the output (TreatHangUpAsClosedOutput): the
    // downloads go on.
    for (int sig : {SIGINT, SIGTERM})
        ::sigaction(sig, &sa, nullptr);

    for (Worker& w : m_Workers)
        if (!w.Ended)
            Spawn(w, self);
    if (m_bTty && !m_Opts.Json)
        Draw();

    std::vector<pollfd> fds;
    std::vector<std::pair<Worker*, bool>> owners; // worker, stdout
    while (Running()) {
        fds.assign(1, pollfd{g_SignalPipe[0], POLLIN, 0});
        owners.clear();
        for (Worker& w : m_Workers) {
            for (const bool isOut : {true, false}) {
                const int fd = isOut ? w.Out : w.Err;
                if (fd >= 0) {
                    fds.push_back({fd, POLLIN, 0});
                    owners.emplace_back(&w, isOut);
                }
            }
        }
        const auto now = Clock::now();
        int timeout = -1;
        if (m_bDirty)
            timeout = static_cast<int>(
                std::max<int64_t>(0, std::chrono::duration_cast<std::chrono::milliseconds>(
                                         m_LastDraw + kRedrawEvery - now)
                                         .count()));
        if (m_nStopLevel > 0 && m_nStopLevel < 3) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(m_NextStop - now);
            timeout = timeout < 0
                          ? static_cast<int>(std::max<int64_t>(0, left.count()))
                          : std::min(timeout, static_cast<int>(std::max<int64_t>(0, left.count())));
        }
        if (::poll(fds.data(), fds.size(), timeout) < 0 && errno != EINTR)
            break;
        if (fds[0].revents & POLLIN) {
            unsigned char sig = 0;
            while (::read(g_SignalPipe[0], &sig, 1) == 1)
                Stop();
        }
        for (size_t i = 1; i < fds.size(); ++i) {
            if (!(fds[i].revents & (POLLIN | POLLHUP | POLLERR)))
                continue;
            auto [w, isOut] = owners[i - 1];
            Read(*w, isOut ? w->Out : w->Err, isOut ? w->OutBuf : w->ErrBuf, isOut);
        }
        for (Worker& w : m_Workers) {
            if (w.Pid > 0 && w.Out < 0 && w.Err < 0) {
                int status = 0;
                if (::waitpid(w.Pid, &status, 0) == w.Pid)
                    OnExit(w, status);
                else
                    OnExit(w, 0);
            }
        }
        if (m_nStopLevel > 0 && m_nStopLevel < 3 && Clock::now() >= m_NextStop && Running())
            Stop();
        if (m_bDirty && Clock::now() >= m_LastDraw + kRedrawEvery)
            Draw();
    }
    if (m_bTty && !m_Opts.Json)
        Draw();
    Summary();
    const bool allOk = std::all_of(m_Workers.begin(), m_Workers.end(),
                                   [](const Worker& w) { return w.Result == DeviceResult::Done; });
    return allOk ? 0 : 1;
}

} // namespace

int RunOnSeveralDevices(const Command& cmd, CliSession& session)
{
    const CliOptions& opts = session.Options();
    std::vector<SBridgeInfo> bridges;
    const NxStatus st = TNxDevList::EnumerateBridges(bridges);
    if (st != 0 && st != Bridge::kDeviceNotFound)
        ThrowNx("GetNumDevices failed: %s", CP2102Com::StatusText(st));

    std::vector<std::string> names = opts.DeviceList();
    if (*opts.Device == kAllDevices) {
        for (const SBridgeInfo& b : bridges)
            if (b.Known && std::find(names.begin(), names.end(), b.Serial) == names.end())
                names.push_back(b.Serial);
        if (names.empty())
            ThrowNx("No controller found. Attach one, list its serial port in NXUPDATE_PORTS, "
                    "or use --simulate.");
    }

    Run run(cmd, opts);
    for (size_t i = 0; i < names.size(); ++i) {
        run.Add(names[i]);
        const auto n = std::count_if(bridges.begin(), bridges.end(),
                                     [&](const SBridgeInfo& b) { return b.Serial == names[i]; });
        // A serial number names one bridge, or the process could not choose.
        if (n == 0)
            run.Fail(i, StrFormat("Device '%s' not found", names[i].c_str()));
        else if (names[i].empty())
            run.Fail(i, "The bridge has no serial number: update its controller alone, "
                        "without --device");
        else if (n > 1)
            run.Fail(i, StrFormat("%zd bridges have the serial number '%s': update their "
                                  "controllers one at a time, each attached alone",
                                  static_cast<ssize_t>(n), names[i].c_str()));
    }
    return run.Execute();
}
