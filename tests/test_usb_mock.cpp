// The serial backend against USB bridges faked by a umockdev testbed: the
// sysfs walk, the vendor filter, the bridge identity, plugging and
// unplugging between polls. Each test runs twice: started normally it runs
// its own copy of this program inside tests/umockdev/usb_testbed.py (with the
// preload library that shows the testbed instead of the system's devices) and
// checks that the copy passed; the copy does the checks. Skips where umockdev
// cannot run.
#include "Appcfg.h"
#include "Bridge/SerialBridge.h"
#include "Bridge/SimBridge.h"
#include "Bridge/UdevMonitor.h"
#include "Download/DownloadAction.h"
#include "NxClock.h"
#include "NxCmdSts.h"
#include "NxCom/CP210xCom.h"
#include "NxCom/TNxDevList.h"
#include "NxException.h"
#include "ProgBlock.h"
#include "support/SimRig.h"

#include "support/DrainPipes.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <optional>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace {

using Strings = std::vector<std::string>;
using Clock = std::chrono::steady_clock;

const std::string kFixture = std::string(NX_SOURCE_DIR) + "/tests/umockdev/usb_testbed.py";
const std::string kSim = std::string(NX_BINARY_DIR) + "/nxsim";
const std::string kCli = std::string(NX_BINARY_DIR) + "/nxupdate-cli";
constexpr const char* kCtlVariable = "NX_USB_TESTBED_CTL";
// Bounds for one run inside the testbed: the fixture stops its program
// first, this test stops the fixture if even that hangs.
constexpr int kProgramSeconds = 30;
constexpr int kFixtureSeconds = 45;

struct UsbBridge
{
    std::string Node;                           // ttyUSB<n>; a node name is never plugged twice
    std::optional<std::string> Serial, Product; // nullopt: no such attribute
    std::string Vid = "10c4", Pid = "ea60";
    bool Plugged = true;    // false: plugged later by the test
    bool Controller = true; // a simulated controller answers behind it
    bool Unserved = false;  // no driver, no tty node
};

std::string BridgesJson(const std::vector<UsbBridge>& bridges)
{
    nlohmann::json list = nlohmann::json::array();
    for (const UsbBridge& b : bridges) {
        nlohmann::json j = {{"node", b.Node},
                            {"vid", b.Vid},
                            {"pid", b.Pid},
                            {"plugged", b.Plugged},
                            {"controller", b.Controller},
                            {"unserved", b.Unserved}};
        j["serial"] = b.Serial ? nlohmann::json(*b.Serial) : nlohmann::json();
        j["product"] = b.Product ? nlohmann::json(*b.Product) : nlohmann::json();
        list.push_back(j);
    }
    return list.dump();
}

struct RunResult
{
    int Code = -1; // exit code; -1 when killed or not started
    std::string Out, Err;
};

// Runs argv in a process group of its own, so that a hang ends with every
// process it started. NXUPDATE_PORTS of the developer stays out.
RunResult RunBounded(Strings argv, int seconds)
{
    RunResult r;
    int out[2], err[2];
    if (::pipe2(out, O_CLOEXEC) != 0)
        return r;
    if (::pipe2(err, O_CLOEXEC) != 0) {
        ::close(out[0]);
        ::close(out[1]);
        return r;
    }
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&fa, out[1], 1);
    posix_spawn_file_actions_adddup2(&fa, err[1], 2);
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP);
    posix_spawnattr_setpgroup(&attr, 0);

    Strings env;
    for (char** e = environ; *e; ++e)
        if (std::string(*e).rfind("NXUPDATE_PORTS=", 0) != 0)
            env.push_back(*e);
    std::vector<char*> cargv, cenv;
    for (std::string& s : argv)
        cargv.push_back(s.data());
    cargv.push_back(nullptr);
    for (std::string& s : env)
        cenv.push_back(s.data());
    cenv.push_back(nullptr);

    pid_t pid = -1;
    if (posix_spawn(&pid, cargv[0], &fa, &attr, cargv.data(), cenv.data()) != 0)
        pid = -1;
    posix_spawn_file_actions_destroy(&fa);
    posix_spawnattr_destroy(&attr);
    ::close(out[1]);
    ::close(err[1]);

    bool done = true;
    if (pid > 0)
        done = DrainPipes(out[0], err[0], r.Out, r.Err, std::chrono::seconds(seconds));
    else {
        ::close(out[0]);
        ::close(err[0]);
    }
    if (pid <= 0)
        return r;
    if (!done) {
        // The fixture cleans up on SIGTERM; whatever is left gets SIGKILL.
        ::kill(-pid, SIGTERM);
        for (int i = 0; i < 20 && ::waitpid(pid, nullptr, WNOHANG) == 0; ++i)
            ::usleep(50 * 1000);
        ::kill(-pid, SIGKILL);
        ::waitpid(pid, nullptr, 0);
        r.Err += "\n[stopped after " + std::to_string(seconds) + " s]";
        return r;
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    if (WIFEXITED(status))
        r.Code = WEXITSTATUS(status);
    return r;
}

// The GI binding belongs to the system's Python; a version manager's python3
// earlier on PATH usually lacks it. NX_TEST_PYTHON names another one.
std::string Python()
{
    if (const char* python = std::getenv("NX_TEST_PYTHON"))
        return python;
    return ::access("/usr/bin/python3", X_OK) == 0 ? "/usr/bin/python3" : "python3";
}

// Empty when a testbed runs here, else the reason it does not.
const std::string& TestbedUnavailable()
{
    static const std::string reason = [] {
        const RunResult r = RunBounded({"/usr/bin/env", Python(), kFixture, "--check"}, 20);
        if (r.Code == 0)
            return std::string();
        const std::string why = r.Out.empty() ? r.Err : r.Out;
        return "umockdev cannot run here (install umockdev, libumockdev-dev, "
               "gir1.2-umockdev-1.0 and python3-gi): " +
               why.substr(0, why.find_last_not_of('\n') + 1);
    }();
    return reason;
}

bool InsideTestbed()
{
    return std::getenv(kCtlVariable) != nullptr;
}

std::string SelfPath()
{
    char buf[4096];
    const ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
    return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
}

// Outside role: runs the current test in a copy of this program inside a
// testbed with these bridges and checks that it passed there.
void RunInTestbed(const std::vector<UsbBridge>& bridges)
{
    if (const std::string& why = TestbedUnavailable(); !why.empty())
        GTEST_SKIP() << why;
    if (::access(kSim.c_str(), X_OK) != 0)
        GTEST_SKIP() << kSim << " is not built; build the nxsim target first";
    const auto* test = ::testing::UnitTest::GetInstance()->current_test_info();
    const std::string filter =
        std::string("--gtest_filter=") + test->test_suite_name() + "." + test->name();
    const RunResult r =
        RunBounded({"/usr/bin/env", Python(), kFixture, "--bridges=" + BridgesJson(bridges),
                    "--nxsim=" + kSim, "--timeout=" + std::to_string(kProgramSeconds), "--",
                    SelfPath(), filter, "--gtest_color=no"},
                   kFixtureSeconds);
    EXPECT_EQ(r.Code, 0) << "inside the testbed:\n" << r.Out << r.Err;
    EXPECT_NE(r.Out.find("[  PASSED  ] 1 test."), std::string::npos) << r.Out << r.Err;
}

// Inside role: asks the fixture to plug or unplug a bridge, and waits until
// it is done.
std::string AskFixture(const std::string& command)
{
    const char* ctl = std::getenv(kCtlVariable);
    int toFixture = -1, fromFixture = -1;
    if (!ctl || std::sscanf(ctl, "%d,%d", &toFixture, &fromFixture) != 2)
        return "no fixture";
    const std::string line = command + "\n";
    if (::write(toFixture, line.data(), line.size()) != ssize_t(line.size()))
        return "cannot write to the fixture";
    std::string reply;
    const auto deadline = Clock::now() + std::chrono::seconds(10);
    while (Clock::now() < deadline) {
        pollfd p{fromFixture, POLLIN, 0};
        if (::poll(&p, 1, 100) <= 0)
            continue;
        char c;
        if (::read(fromFixture, &c, 1) != 1)
            break;
        if (c == '\n')
            return reply;
        reply += c;
    }
    return "no reply to '" + command + "'";
}

void Plug(const std::string& node)
{
    ASSERT_EQ(AskFixture("plug " + node), "ok");
}

void Unplug(const std::string& node)
{
    ASSERT_EQ(AskFixture("unplug " + node), "ok");
}

// The identity the backend reports for the port at index.
Strings Identity(Bridge::SerialBridgeLib& lib, uint32_t index)
{
    Strings out;
    for (int sel :
         {Bridge::kSerialNumber, Bridge::kDescription, Bridge::kVendorId, Bridge::kProductId}) {
        std::string text;
        EXPECT_EQ(lib.GetProductString(index, text, sel), Bridge::kSuccess);
        out.push_back(text);
    }
    return out;
}

// The controller behind a listed device answers through the mocked node.
bool Answers(TNxDev& dev)
{
    NxCmdSts sts;
    return dev.Execute(sts, 500);
}

// Every test starts with the list installed as the process-wide one. The
// core's pauses take no time; the line's timeouts stay real.
class UsbMock : public ::testing::Test, protected ListRig
{
};

TEST_F(UsbMock, ListsOnlyTheBridgeMakersPortsWithTheirIdentity)
{
    if (!InsideTestbed())
        return RunInTestbed({{"ttyUSB0", "0001", "Incubator Controller"},
                             // another vendor, with a controller too: the
                             // filter, not silence, keeps it out
                             {"ttyUSB1", "A5XK3RJT", "Other Bridge", "0403", "6001"}});

    Bridge::SerialBridgeLib lib;
    Bridge::ScopedLib useLib(lib);
    uint32_t count = 0;
    ASSERT_EQ(lib.GetNumDevices(count), Bridge::kSuccess);
    ASSERT_EQ(count, 1u);
    EXPECT_EQ(Identity(lib, 0), (Strings{"0001", "Incubator Controller", "10C4", "EA60"}));
    std::string name;
    EXPECT_EQ(CP2102Com::GetDisplayName(name, 0), 0);
    EXPECT_EQ(name, "Incubator Controller (#0001)");

    DevEventRecorder events;
    ASSERT_TRUE(list.Update());
    ASSERT_EQ(list.Count(), 1u);
    TNxDev& dev = *list.GetDev(0);
    EXPECT_EQ(dev.GetName(), "Incubator Controller (#0001)");
    EXPECT_EQ(dev.GetSerial(), "0001");
    EXPECT_EQ(dev.GetChannels().size(), 3u); // the demo controller's components
    EXPECT_TRUE(Answers(dev));
    EXPECT_EQ(events.Events, Strings{"added 0001"});
    EXPECT_TRUE(sink.Shown.empty()) << sink.Shown.front().Text;
}

TEST_F(UsbMock, OddIdentityStringsKeepEnumerationAndLabelsWhole)
{
    const std::string longProduct = "Incubator Controller " + std::string(200, 'x');
    const std::string nonAscii = "Brutschrank-Steuerung \xC3\x84\xC3\x96\xC3\x9C \xE2\x84\x83";
    // Bridges without a controller only show in the enumeration; each probe
    // of an empty channel costs a real timeout.
    if (!InsideTestbed())
        return RunInTestbed(
            {{"ttyUSB0", "", "Incubator Controller"},
             {"ttyUSB1", "\xC3\x9C-0002", nonAscii},
             {.Node = "ttyUSB2",
              .Serial = std::nullopt,
              .Product = longProduct,
              .Pid = "ea70", // the maker's other product
              .Controller = false},
             {.Node = "ttyUSB3", .Serial = "0004", .Product = std::nullopt, .Controller = false}});

    Bridge::SerialBridgeLib lib;
    Bridge::ScopedLib useLib(lib);
    uint32_t count = 0;
    ASSERT_EQ(lib.GetNumDevices(count), Bridge::kSuccess);
    ASSERT_EQ(count, 4u);
    EXPECT_EQ(Identity(lib, 0), (Strings{"", "Incubator Controller", "10C4", "EA60"}));
    EXPECT_EQ(Identity(lib, 1), (Strings{"\xC3\x9C-0002", nonAscii, "10C4", "EA60"}));
    // A missing serial number is an empty text; the system cuts long texts,
    // and what is kept is their start.
    const Strings longOne = Identity(lib, 2);
    EXPECT_EQ(longOne[0], "");
    EXPECT_GE(longOne[1].size(), 100u);
    EXPECT_EQ(longProduct.rfind(longOne[1], 0), 0u) << longOne[1];
    EXPECT_EQ(longOne[3], "EA70");
    // Without a product string the bridge still has a name to show.
    const std::string noProduct = Identity(lib, 3)[1];
    EXPECT_FALSE(noProduct.empty());

    std::string name;
    EXPECT_EQ(CP2102Com::GetDisplayName(name, 2), 0);
    EXPECT_EQ(name, longOne[1] + " (#)");
    EXPECT_EQ(CP2102Com::GetDisplayName(name, 3), 0);
    EXPECT_EQ(name, noProduct + " (#0004)");

    DevEventRecorder events;
    ASSERT_TRUE(list.Update());
    ASSERT_EQ(list.Count(), 2u);
    EXPECT_EQ(list.GetDev(0)->GetName(), "Incubator Controller (#)");
    EXPECT_EQ(list.GetDev(1)->GetName(), nonAscii + " (#\xC3\x9C-0002)");
    EXPECT_TRUE(Answers(*list.GetDev(0)));
    EXPECT_TRUE(Answers(*list.GetDev(1)));
    EXPECT_EQ(list.FindBySerial("\xC3\x9C-0002"), list.GetDev(1));
    EXPECT_EQ(list.FindBySerial(""), list.GetDev(0));

    // A second poll of the same bridges changes nothing.
    ASSERT_TRUE(list.Update());
    EXPECT_EQ(list.Count(), 2u);
    EXPECT_EQ(events.Events, (Strings{"added ", "added \xC3\x9C-0002"}));
}

TEST_F(UsbMock, BridgesPluggedAndUnpluggedBetweenPolls)
{
    if (!InsideTestbed())
        return RunInTestbed({{"ttyUSB0", "0001", "Incubator Controller"},
                             {.Node = "ttyUSB1",
                              .Serial = "0002",
                              .Product = "Incubator Controller",
                              .Plugged = false},
                             {.Node = "ttyUSB2",
                              .Serial = "0003",
                              .Product = "Incubator Controller",
                              .Plugged = false}});

    DevEventRecorder events;
    // udev announces each plug and unplug, which the desktop program follows at once.
    Bridge::UdevMonitor udev;
    ASSERT_GE(udev.Fd(), 0);
    const auto announced = [&udev] {
        pollfd p{udev.Fd(), POLLIN, 0};
        return ::poll(&p, 1, 5000) == 1 && udev.TakeEvents();
    };
    ASSERT_TRUE(list.Update());
    ASSERT_EQ(events.Events, Strings{"added 0001"});
    TNxDev* first = list.GetDev(0);
    EXPECT_FALSE(udev.TakeEvents());

    ASSERT_NO_FATAL_FAILURE(Plug("ttyUSB1"));
    EXPECT_TRUE(announced());
    ASSERT_TRUE(list.Update());
    EXPECT_EQ(events.Events, (Strings{"added 0001", "added 0002"}));
    ASSERT_EQ(list.Count(), 2u);
    EXPECT_EQ(list.GetDev(0), first); // the first keeps position 0
    EXPECT_EQ(list.GetDev(1)->GetName(), "Incubator Controller (#0002)");

    // Unplugging the first bridge leaves the second one working, although
    // its index in the enumeration moved.
    ASSERT_NO_FATAL_FAILURE(Unplug("ttyUSB0"));
    EXPECT_TRUE(announced());
    ASSERT_TRUE(list.Update());
    EXPECT_EQ(events.Events, (Strings{"added 0001", "added 0002", "removed 0001"}));
    ASSERT_EQ(list.Count(), 1u);
    EXPECT_EQ(list.GetDev(0)->GetSerial(), "0002");
    EXPECT_TRUE(Answers(*list.GetDev(0)));

    ASSERT_NO_FATAL_FAILURE(Unplug("ttyUSB1"));
    ASSERT_TRUE(list.Update());
    EXPECT_EQ(list.Count(), 0u);
    EXPECT_EQ(events.Events.back(), "removed 0002");

    // In and out again between two polls: never seen, nothing to tell.
    events.Events.clear();
    ASSERT_NO_FATAL_FAILURE(Plug("ttyUSB2"));
    ASSERT_NO_FATAL_FAILURE(Unplug("ttyUSB2"));
    ASSERT_TRUE(list.Update());
    EXPECT_EQ(list.Count(), 0u);
    EXPECT_TRUE(events.Events.empty());
    EXPECT_TRUE(sink.Shown.empty()) << sink.Shown.front().Text;
}

// Pulls the bridge out while a block of the download is being sent.
class UnpluggingUi : public NxDownloadUi
{
public:
    void ShowProgress(const std::string&, std::optional<unsigned>) override {}
    void OnBlockProgress(const ProgBlock& block, uint32_t index, uint32_t count) override
    {
        NxDownloadUi::OnBlockProgress(block, index, count);
        Blocks = count;
        if (index == 3 && !Unplugged) {
            Unplug("ttyUSB0");
            Unplugged = true;
        }
    }
    void OnFailure(const char* text) override
    {
        NxDownloadUi::OnFailure(text);
        Failures.push_back(text);
    }
    bool Unplugged = false;
    uint32_t Blocks = 0;
    Strings Failures;
};

TEST_F(UsbMock, UnplugDuringADownloadEndsItWithAFailure)
{
    if (!InsideTestbed())
        return RunInTestbed({{"ttyUSB0", "0001", "Incubator Controller"}});

    CAppCfg::DestroyInstance();
    DevEventRecorder events;
    ASSERT_TRUE(list.Update());
    ASSERT_EQ(list.Count(), 1u);

    UnpluggingUi ui;
    const auto t0 = Clock::now();
    std::string message;
    try {
        RunDownload(list, ui, "0001", 0,
                    std::string(NX_SOURCE_DIR) + "/examples/incucontrol_app.hex");
    } catch (const NxException& e) {
        message = e.what();
    }
    ASSERT_TRUE(ui.Unplugged) << "the download ended before block 4 of " << ui.Blocks;
    EXPECT_GT(ui.Blocks, 4u);
    // The failure names the block and the cause, once, where the controller is
    // left, and that the bridge is gone.
    const std::string failure =
        "Download of block #3/" + std::to_string(ui.Blocks) + " failed: Device IO Failed";
    EXPECT_EQ(message, failure + "\n" + LeftInBootloaderText(0) + "\n" + kBridgeDisconnected);
    EXPECT_EQ(ui.Failures, Strings{failure});
    // The hang-up ends it at once, not after retries that wait for a timeout each.
    EXPECT_LT(Clock::now() - t0, std::chrono::seconds(10));

    ASSERT_TRUE(list.Update());
    EXPECT_EQ(list.Count(), 0u);
    EXPECT_EQ(events.Events, (Strings{"added 0001", "removed 0001"}));
}

// nxupdate-cli through the mocked bridge says what it says on the simulator.
TEST(UsbMockCli, ListAndInfoMatchTheSimulator)
{
    if (const std::string& why = TestbedUnavailable(); !why.empty())
        GTEST_SKIP() << why;
    for (const std::string& exe : {kSim, kCli})
        if (::access(exe.c_str(), X_OK) != 0)
            GTEST_SKIP() << exe << " is not built; build the nxsim and nxupdate-cli targets first";

    // The simulator's demo bridge: serial number "0001", product "Controller".
    const std::string bridges = BridgesJson({{"ttyUSB0", "0001", "Controller"}});
    for (const std::string command : {"list", "info"}) {
        SCOPED_TRACE(command);
        const RunResult sim = RunBounded({kCli, command, "--simulate"}, 30);
        ASSERT_EQ(sim.Code, 0) << sim.Err;
        const RunResult usb = RunBounded(
            {"/usr/bin/env", Python(), kFixture, "--bridges=" + bridges, "--nxsim=" + kSim,
             "--timeout=" + std::to_string(kProgramSeconds), "--", kCli, command},
            kFixtureSeconds);
        EXPECT_EQ(usb.Code, 0) << usb.Err;
        EXPECT_EQ(usb.Out, sim.Out);
        EXPECT_EQ(usb.Err, sim.Err);
    }
}

// A rack of four: listed, then updated all at once, each bridge by its own
// process, which finds its port under the testbed as the parent did.
TEST(UsbMockCli, FourBridgesListedAndUpdatedInParallel)
{
    if (const std::string& why = TestbedUnavailable(); !why.empty())
        GTEST_SKIP() << why;
    for (const std::string& exe : {kSim, kCli})
        if (::access(exe.c_str(), X_OK) != 0)
            GTEST_SKIP() << exe << " is not built; build the nxsim and nxupdate-cli targets first";

    std::vector<UsbBridge> bridges;
    for (const char* n : {"1", "2", "3", "4"})
        bridges.push_back({std::string("ttyUSB") + n, std::string("000") + n, "Controller"});
    const std::string script = kCli + " list && " + kCli +
                               " download --device=all --file=" + NX_SOURCE_DIR +
                               "/examples/incucontrol_app.hex";
    const RunResult r = RunBounded(
        {"/usr/bin/env", Python(), kFixture, "--bridges=" + BridgesJson(bridges), "--nxsim=" + kSim,
         "--timeout=" + std::to_string(kProgramSeconds), "--", "/bin/sh", "-c", script},
        kFixtureSeconds);
    EXPECT_EQ(r.Code, 0) << r.Out << r.Err;
    for (const char* n : {"1", "2", "3", "4"}) {
        EXPECT_NE(r.Out.find(std::string("Controller (#000") + n + ")\n"), std::string::npos)
            << r.Out;
        const size_t row = r.Out.find(std::string("\n000") + n + " ");
        ASSERT_NE(row, std::string::npos) << r.Out;
        const std::string line = r.Out.substr(row + 1, r.Out.find('\n', row + 1) - row - 1);
        EXPECT_NE(line.find(" done "), std::string::npos) << line;
    }
    EXPECT_NE(r.Out.find("\n4 of 4 succeeded\n"), std::string::npos) << r.Out;
}

// A bridge the kernel gives no serial port is named, with its fix, by
// bridges and list, and listed in their JSON; the exit code stays.
TEST(UsbMockCli, ABridgeWithoutADriverIsNamedWithItsFix)
{
    if (const std::string& why = TestbedUnavailable(); !why.empty())
        GTEST_SKIP() << why;
    for (const std::string& exe : {kSim, kCli})
        if (::access(exe.c_str(), X_OK) != 0)
            GTEST_SKIP() << exe << " is not built; build the nxsim and nxupdate-cli targets first";
    UsbBridge unserved{"ttyUSB1", "0002", "Controller"};
    unserved.Pid = "ea7f";
    unserved.Unserved = true;
    const std::string bridges = BridgesJson({{"ttyUSB0", "0001", "Controller"}, unserved});
    for (const char* command : {"bridges", "list"}) {
        SCOPED_TRACE(command);
        const RunResult r = RunBounded(
            {"/usr/bin/env", Python(), kFixture, "--bridges=" + bridges, "--nxsim=" + kSim,
             "--timeout=" + std::to_string(kProgramSeconds), "--", kCli, command, "--json"},
            kFixtureSeconds);
        EXPECT_EQ(r.Code, 0) << r.Err;
        EXPECT_NE(r.Err.find("CP210x bridge 10c4:ea7f on USB 1-2 has no serial port: the "
                             "kernel's cp210x driver does not know its product id\n"),
                  std::string::npos)
            << r.Err;
        EXPECT_NE(r.Err.find("echo 10c4 ea7f | sudo tee /sys/bus/usb-serial/drivers/cp210x/new_id"),
                  std::string::npos)
            << r.Err;
        const nlohmann::json doc = nlohmann::json::parse(r.Out, nullptr, false);
        EXPECT_EQ(doc.value("unserved", nlohmann::json()),
                  nlohmann::json::parse(R"([{"usb": "1-2", "vid": "10c4", "pid": "ea7f"}])"))
            << r.Out;
    }
}

} // namespace
