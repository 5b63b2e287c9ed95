// Ports that exist but cannot be opened: no permission, or held by another
// process. The status stays "Device IO Failed"; the user gets one more line
// with the cause and the fix, in the device list's message and in the CLI.
// The other process is a forked child; the permission cases run the open as
// "nobody" when the tests run as root, because root ignores file modes.
#include "Bridge/SerialBridge.h"
#include "Bridge/SerialPort.h"
#include "Bridge/SimBridge.h"
#include "NxCom/CP210xCom.h"
#include "support/Recorders.h"

#include "support/PtyFixture.h"
#include "support/RunProgram.h"

#include <nlohmann/json.hpp>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <functional>
#include <grp.h>
#include <optional>
#include <string>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

using namespace Bridge;

namespace {

constexpr uid_t kNobody = 65534;

bool WriteAll(int fd, const std::string& s)
{
    size_t done = 0;
    while (done < s.size()) {
        const ssize_t n = ::write(fd, s.data() + done, s.size() - done);
        if (n <= 0)
            return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

std::string ReadAll(int fd)
{
    std::string s;
    char buf[512];
    ssize_t n;
    while ((n = ::read(fd, buf, sizeof buf)) > 0)
        s.append(buf, static_cast<size_t>(n));
    return s;
}

// Runs body in a forked child, as user "nobody" when asNobody, and returns
// what it reported. "SKIP:" starts the report when the child could not run.
std::string InChild(const std::function<std::string()>& body, bool asNobody)
{
    int out[2];
    if (::pipe2(out, O_CLOEXEC) != 0)
        return "SKIP: no pipe";
    const pid_t pid = ::fork();
    if (pid < 0)
        return "SKIP: no fork";
    if (pid == 0) {
        ::close(out[0]);
        std::string report;
        if (asNobody &&
            (::setgroups(0, nullptr) != 0 || ::setgid(kNobody) != 0 || ::setuid(kNobody) != 0))
            report = "SKIP: cannot switch to user nobody";
        else
            report = body();
        WriteAll(out[1], report);
        ::_exit(0);
    }
    ::close(out[1]);
    std::string report = ReadAll(out[0]);
    ::close(out[0]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    return report;
}

// Another process holding the port: it opens the path and either takes the
// advisory lock or opens it the way this tool does; it lets go on Release.
class Holder
{
public:
    enum class How
    {
        Flock,    // a foreign program that only takes the lock
        ThisTool, // a second instance of this tool
    };

    bool Start(const std::string& path, How how)
    {
        int ready[2];
        if (::pipe2(ready, O_CLOEXEC) != 0 || ::pipe2(m_Release, O_CLOEXEC) != 0)
            return false;
        m_Pid = ::fork();
        if (m_Pid < 0)
            return false;
        if (m_Pid == 0) {
            ::close(ready[0]);
            ::close(m_Release[1]);
            bool held = false;
            SerialPort port;
            if (how == How::ThisTool) {
                held = port.Open(path) == kSuccess;
            } else {
                const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY);
                held = fd >= 0 && ::flock(fd, LOCK_EX | LOCK_NB) == 0;
            }
            WriteAll(ready[1], held ? "1" : "0");
            ::close(ready[1]);
            char c;
            while (::read(m_Release[0], &c, 1) > 0) {
            }
            ::_exit(0);
        }
        ::close(ready[1]);
        ::close(m_Release[0]);
        const std::string answer = ReadAll(ready[0]);
        ::close(ready[0]);
        return answer == "1";
    }
    void Release()
    {
        if (m_Pid <= 0)
            return;
        ::close(m_Release[1]);
        int status = 0;
        ::waitpid(m_Pid, &status, 0);
        m_Pid = -1;
    }
    ~Holder() { Release(); }

private:
    pid_t m_Pid = -1;
    int m_Release[2] = {-1, -1};
};

class PortProblems : public PtyFixture
{
protected:
    void SetUp() override
    {
        PtyFixture::SetUp();
        uint32_t count = 0;
        ASSERT_EQ(lib.GetNumDevices(count), kSuccess);
        ASSERT_EQ(count, usbCount + 1);
    }

    // Opens the pseudo-terminal through the backend; the problem it gave.
    Status OpenSlave(SerialBridgeLib& l, std::string& hint, bool* busy = nullptr)
    {
        std::unique_ptr<IPort> port;
        OpenProblem problem;
        const Status st = l.Open(usbCount, port, &problem);
        hint = problem.Text;
        if (busy)
            *busy = problem.Busy;
        EXPECT_EQ(st == kSuccess, port != nullptr);
        return st;
    }

    // What the device list shows for the listed port, through the whole stack.
    std::vector<ShownMessage> UpdateList()
    {
        RecordingSink sink;
        ScopedLib scoped(lib);
        TNxDevList list;
        list.Update();
        EXPECT_EQ(list.Count(), 0u);
        return sink.Shown;
    }

    static std::string Expected(const std::string& hint)
    {
        return std::string("TNxDev::Open() failed: ") + CP2102Com::StatusText(kDeviceIoFailed) +
               "\n" + hint;
    }
};

TEST_F(PortProblems, PortLockedByAnotherProgramIsReportedBusyUntilReleased)
{
    Holder other;
    ASSERT_TRUE(other.Start(slave, Holder::How::Flock));

    std::string hint;
    bool busy = false;
    EXPECT_EQ(OpenSlave(lib, hint, &busy), kDeviceIoFailed);
    EXPECT_NE(hint.find(slave), std::string::npos) << hint;
    EXPECT_NE(hint.find("in use by another program"), std::string::npos) << hint;
    EXPECT_EQ(hint.find('\n'), std::string::npos) << "one line only";
    EXPECT_TRUE(busy);

    const auto shown = UpdateList();
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_EQ(shown[0].Text, Expected(hint));
    EXPECT_EQ(shown[0].Caption, "NxDevList");
    EXPECT_EQ(shown[0].Icon, INxMessageSink::Icon::Warning);

    // Once the other program lets go, the port opens and the hint is gone.
    other.Release();
    EXPECT_EQ(OpenSlave(lib, hint, &busy), kSuccess);
    EXPECT_EQ(hint, "");
    EXPECT_FALSE(busy);
}

TEST_F(PortProblems, SecondInstanceOfTheToolIsRefusedAndToldWhy)
{
    Holder first;
    ASSERT_TRUE(first.Start(slave, Holder::How::ThisTool));
    std::string hint;
    EXPECT_EQ(OpenSlave(lib, hint), kDeviceIoFailed);
    EXPECT_NE(hint.find("in use by another program"), std::string::npos) << hint;

    // Without the lock a non-root opener still meets the exclusive mode.
    ASSERT_EQ(::chmod(slave.c_str(), 0666), 0);
    const std::string report = InChild(
        [&] {
            SerialPort port;
            const Status st = port.Open(slave);
            return "status " + std::to_string(st) + " busy " +
                   std::to_string(port.LastProblem() == SerialPort::Problem::Busy);
        },
        ::geteuid() == 0);
    if (report.rfind("SKIP:", 0) == 0)
        GTEST_SKIP() << report;
    EXPECT_EQ(report, "status 8 busy 1");
}

// Root gets past a terminal's exclusive mode: a port that another program
// holds that way is busy all the same, and only the mode this tool set is
// cleared when it lets go.
TEST_F(PortProblems, ExclusiveModeOfAnotherProgramIsBusyAndStaysSet)
{
    const int other = ::open(slave.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(other, 0);
    const auto exclusive = [other] {
        int on = -1;
        return ::ioctl(other, TIOCGEXCL, &on) == 0 ? on : -1;
    };
    ASSERT_EQ(::ioctl(other, TIOCEXCL), 0);
    SerialPort port;
    EXPECT_EQ(port.Open(slave), kDeviceIoFailed);
    EXPECT_EQ(port.LastProblem(), SerialPort::Problem::Busy);
    EXPECT_EQ(exclusive(), 1);

    ASSERT_EQ(::ioctl(other, TIOCNXCL), 0);
    ASSERT_EQ(port.Open(slave), kSuccess);
    EXPECT_EQ(exclusive(), 1);
    port.Close();
    EXPECT_EQ(exclusive(), 0);
    ::close(other);
}

TEST_F(PortProblems, PortWithoutPermissionNamesTheGroupAndTheRule)
{
    ASSERT_EQ(::chmod(slave.c_str(), 0), 0);
    // Root is never refused by file modes; the open then runs as nobody.
    const std::string report = InChild(
        [&] {
            SerialBridgeLib childLib;
            uint32_t count = 0;
            childLib.GetNumDevices(count);
            std::unique_ptr<IPort> port;
            OpenProblem problem;
            const Status st = childLib.Open(usbCount, port, &problem);
            const std::string hint = problem.Text;
            RecordingSink sink;
            ScopedLib scoped(childLib);
            TNxDevList list;
            list.Update();
            std::string shown = sink.Shown.size() == 1 ? sink.Shown[0].Text : "<none or many>";
            return std::to_string(st) + "|" + hint + "|" + shown;
        },
        ::geteuid() == 0);
    if (report.rfind("SKIP:", 0) == 0)
        GTEST_SKIP() << report;

    const size_t bar1 = report.find('|'), bar2 = report.find('|', bar1 + 1);
    ASSERT_NE(bar2, std::string::npos) << report;
    const std::string status = report.substr(0, bar1);
    const std::string hint = report.substr(bar1 + 1, bar2 - bar1 - 1);
    EXPECT_EQ(status, std::to_string(kDeviceIoFailed));
    EXPECT_NE(hint.find("No permission to open " + slave), std::string::npos) << hint;
    EXPECT_NE(hint.find("'dialout' group"), std::string::npos) << hint;
    EXPECT_NE(hint.find("udev rule"), std::string::npos) << hint;
    EXPECT_EQ(report.substr(bar2 + 1), Expected(hint));
}

TEST_F(PortProblems, OtherOpenFailuresAddNoGuess)
{
    // A device that is no terminal fails for a reason we cannot explain.
    ::setenv(SerialBridgeLib::kPortsVariable, "/dev/null", 1);
    uint32_t count = 0;
    ASSERT_EQ(lib.GetNumDevices(count), kSuccess);
    ASSERT_EQ(count, usbCount + 1);
    std::string hint = "stale";
    bool busy = true;
    EXPECT_EQ(OpenSlave(lib, hint, &busy), kDeviceIoFailed);
    EXPECT_EQ(hint, "");
    EXPECT_FALSE(busy); // failed, but nobody holds it
    const auto shown = UpdateList();
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_EQ(shown[0].Text,
              std::string("TNxDev::Open() failed: ") + CP2102Com::StatusText(kDeviceIoFailed));

    // The simulated backend has nothing to say.
    SimBridgeLib sim;
    std::unique_ptr<IPort> port;
    OpenProblem problem;
    sim.Open(0, port, &problem);
    EXPECT_EQ(problem.Text, "");
}

TEST_F(PortProblems, CommandLinePrintsTheSameLine)
{
    const std::string cli = std::string(NX_BINARY_DIR) + "/nxupdate-cli";
    if (::access(cli.c_str(), X_OK) != 0)
        GTEST_SKIP() << "nxupdate-cli is not built";
    Holder other;
    ASSERT_TRUE(other.Start(slave, Holder::How::Flock));
    std::string hint;
    ASSERT_EQ(OpenSlave(lib, hint), kDeviceIoFailed);

    // A script can tell "not allowed" from "nothing attached": exit 1, and
    // the JSON names the port and why.
    RunOptions opts;
    opts.Env[SerialBridgeLib::kPortsVariable] = slave;
    RunResult r = RunProgram(cli, {"list"}, opts);
    EXPECT_EQ(r.Code, 1);
    EXPECT_NE(r.Err.find(Expected(hint)), std::string::npos) << r.Err;
    r = RunProgram(cli, {"list", "--json"}, opts);
    EXPECT_EQ(r.Code, 1);
    const nlohmann::json doc = nlohmann::json::parse(r.Out);
    ASSERT_EQ(doc["errors"].size(), 1u) << r.Out;
    EXPECT_EQ(doc["errors"][0]["port"], slave);
    EXPECT_EQ(doc["errors"][0]["message"], Expected(hint));

    // info and filter print their JSON with the errors all the same.
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"info", "--json"}, {"filter", "--channel=1", "--json"}}) {
        r = RunProgram(cli, args, opts);
        EXPECT_EQ(r.Code, 1) << args[0];
        EXPECT_EQ(nlohmann::json::parse(r.Out)["errors"], doc["errors"]) << r.Out;
    }

    // Once the port is free the same bridge is no error.
    other.Release();
    r = RunProgram(cli, {"list", "--json"}, opts);
    EXPECT_EQ(r.Code, 0) << r.Err;
    EXPECT_EQ(nlohmann::json::parse(r.Out)["errors"], nlohmann::json::array());
}

} // namespace
