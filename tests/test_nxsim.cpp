// The pseudo-terminal server: raw frames through the slave side, wire-time
// pacing measured on a virtual clock, and the whole stack (serial backend,
// device list, version report) against a served demo controller.
#include "Bridge/SerialBridge.h"
#include "NxClock.h"
#include "NxCom/TNxDevList.h"
#include "Sim/PtyServer.h"
#include "Sim/SimLine.h"
#include "Sim/SimScenario.h"
#include "VersionInfo.h"
#include "support/Recorders.h"
#include "support/RunProgram.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <fcntl.h>
#include <functional>
#include <optional>
#include <poll.h>
#include <unistd.h>

using Bytes = std::vector<uint8_t>;

namespace {

// "DeviceStatus" to the controller and its reply (status byte 0x00).
const Bytes kStatusRequest = {
    0xF0,       // start
    0x00,       // payload length
    0x14,       // command 20
    0x00,       // channel
    0x52,       // access 'R'
    0x66, 0x00, // checksum
};
const Bytes kStatusReply = {
    0xF0, 0x01, 0x14, 0x00, 0x52, // start, length 1, command, channel, access
    0x00,                         // status: application runs
    0x66, 0x00,                   // checksum
};

// How long a read waits for the server's answer: a bound against a hang, not
// a measure; a served answer takes milliseconds.
constexpr int kPatienceMs = 10000;

class PtyServerTest : public ::testing::Test
{
protected:
    void Install(const Sim::SimScenario& sc) { bridges = Sim::InstallScenario(lib, sc); }

    int OpenSlave(const std::string& path)
    {
        const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY);
        EXPECT_GE(fd, 0) << path;
        return fd;
    }
    // Up to n bytes within timeoutMs (a real wait: the server is a thread).
    static Bytes ReadFd(int fd, size_t n, int timeoutMs)
    {
        Bytes got;
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        while (got.size() < n && std::chrono::steady_clock::now() < end) {
            pollfd p{fd, POLLIN, 0};
            if (::poll(&p, 1, 20) <= 0)
                continue;
            uint8_t buf[256];
            const ssize_t r = ::read(fd, buf, std::min(sizeof buf, n - got.size()));
            if (r > 0)
                got.insert(got.end(), buf, buf + r);
        }
        return got;
    }
    static void WriteFd(int fd, const Bytes& b)
    {
        ASSERT_EQ(::write(fd, b.data(), b.size()), static_cast<ssize_t>(b.size()));
    }
    // Serves in the calling thread until done() holds (or ten seconds passed
    // without it: a bound against a hang, not a measure).
    static void ServeUntil(Sim::PtyServer& server, const std::function<bool()>& done)
    {
        for (int round = 0; round < 100 && !done(); ++round)
            server.Poll(100);
    }

    Bridge::SimBridgeLib lib;
    std::vector<Sim::SimHandle> bridges;
};

TEST_F(PtyServerTest, AnswersFramesSplitAcrossWritesAndAfterReopening)
{
    Install(Sim::DemoScenario());
    Sim::PtyServer server(lib);
    ASSERT_EQ(server.Ports().size(), 1u);
    const std::string path = server.Ports()[0].SlavePath;
    const Sim::SimController& ctl = *bridges[0].Controller;
    const Bridge::SimDevice& device = *bridges[0].Device;

    // Served in this thread, so the test knows what the server has seen.
    int fd = OpenSlave(path);
    WriteFd(fd, Bytes(kStatusRequest.begin(), kStatusRequest.begin() + 3));
    ServeUntil(server, [&] { return device.Written.size() >= 3; });
    EXPECT_EQ(device.Written.size(), 3u); // the first part on its own
    EXPECT_EQ(ctl.CountOf(20), 0u);
    WriteFd(fd, Bytes(kStatusRequest.begin() + 3, kStatusRequest.end()));
    ServeUntil(server, [&] { return ctl.CountOf(20) == 1; });
    EXPECT_EQ(ReadFd(fd, kStatusReply.size(), kPatienceMs), kStatusReply);
    ::close(fd);

    // The host closes and opens the port again between runs.
    fd = OpenSlave(path);
    WriteFd(fd, kStatusRequest);
    ServeUntil(server, [&] { return ctl.CountOf(20) == 2; });
    EXPECT_EQ(ReadFd(fd, kStatusReply.size(), kPatienceMs), kStatusReply);
    ::close(fd);

    EXPECT_EQ(ctl.CountOf(20), 2u);
    EXPECT_EQ(ctl.BadFrames(), 0u);
}

TEST_F(PtyServerTest, ServesOnlyPluggedBridgesEachOnItsOwnTerminal)
{
    Sim::SimScenario sc = Sim::DemoScenario();
    sc.Bridges.push_back(sc.Bridges[0]);
    sc.Bridges.back().Serial = "0002";
    sc.Bridges.push_back(sc.Bridges[0]);
    sc.Bridges.back().Serial = "0003";
    sc.Bridges.back().Plugged = false;
    Install(sc);
    Sim::PtyServer server(lib);
    ASSERT_EQ(server.Ports().size(), 2u);
    EXPECT_EQ(server.Ports()[0].Device->Serial, "0001");
    EXPECT_EQ(server.Ports()[1].Device->Serial, "0002");
    EXPECT_NE(server.Ports()[0].SlavePath, server.Ports()[1].SlavePath);

    // Each terminal reaches its own controller.
    server.Start();
    const int fd = OpenSlave(server.Ports()[1].SlavePath);
    WriteFd(fd, kStatusRequest);
    EXPECT_EQ(ReadFd(fd, kStatusReply.size(), kPatienceMs), kStatusReply);
    ::close(fd);
    server.Stop();
    EXPECT_EQ(bridges[0].Controller->CountOf(20), 0u);
    EXPECT_EQ(bridges[1].Controller->CountOf(20), 1u);
}

// A late reply goes out on its own once it is due, with no further request.
TEST_F(PtyServerTest, LateReplyGoesOutWhenDue)
{
    Install(Sim::DemoScenario());
    Sim::SimFault late;
    late.Kind = Sim::SimFaultKind::Late;
    late.Cmd = 20;
    late.DelayMs = 150;
    bridges[0].Controller->AddFault(late);
    Sim::PtyServer server(lib);
    server.Start();
    const int fd = OpenSlave(server.Ports()[0].SlavePath);
    const auto start = std::chrono::steady_clock::now();
    WriteFd(fd, kStatusRequest);
    EXPECT_EQ(ReadFd(fd, kStatusReply.size(), 5000), kStatusReply);
    // The server's clock counts whole milliseconds: the request may have
    // arrived up to 1 ms after the last one it counted.
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(149));
    ::close(fd);
    server.Stop();
}

// A frame takes its wire bytes' time, rounded once, however the server's
// reads cut it; the reply starts when the request is through; an idle line
// starts a new burst. Frames of 7, 139 and 262 bytes, plain and stuffed.
TEST(SimLine, AFrameTakesItsBytesTimeHoweverItIsCut)
{
    struct Row
    {
        size_t Frame, Wire; // bytes before and after stuffing
        uint64_t Us;        // 57600 bit/s, ten bits a byte, rounded up
    } rows[] = {{7, 7, 1216},      {7, 9, 1563},      {139, 139, 24132},
                {139, 271, 47049}, {262, 262, 45487}, {262, 523, 90799}};
    for (const Row& r : rows) {
        SCOPED_TRACE(std::to_string(r.Frame) + " bytes, " + std::to_string(r.Wire) +
                     " on the wire");
        Sim::SimLine line;
        const uint64_t t0 = 5'000'000;
        const uint64_t whole = r.Us;
        EXPECT_EQ(line.TimeUs(r.Wire), whole);
        // Seen in reads of 1, 2, 3, ... bytes, each while the bytes before are still on the line.
        uint64_t through = 0;
        for (size_t done = 0, n = 1; done < r.Wire; done += n, ++n)
            through = line.Send(std::min(n, r.Wire - done), t0 + done * 100);
        EXPECT_EQ(through, t0 + whole);
        // The reply, in slices of 32 from the request's end: again one rounding.
        Sim::SimLine back;
        uint64_t last = 0;
        for (size_t done = 0; done < r.Wire; done += 32)
            last = back.Send(std::min<size_t>(32, r.Wire - done), through);
        EXPECT_EQ(last, through + whole);
        // After a pause the line starts afresh.
        EXPECT_EQ(line.Send(r.Wire, t0 + 10 * whole), t0 + 11 * whole);
    }
}

// A clock the test moves by microseconds.
class StepClock : public VirtualClock
{
public:
    uint64_t Us = 1'000'000;
    uint64_t NowMs() override { return Us / 1000; }
    uint64_t NowNs() override { return Us * 1000; }
};

// Wire time on two bridges of one server: each reply starts when its
// request's last byte is through (and the device's delay has passed) and goes
// out when its own last byte is; neither bridge waits for the other.
TEST_F(PtyServerTest, WireTimeServesEveryBridgeAtItsOwnLinesPace)
{
    Sim::SimScenario sc = Sim::DemoScenario();
    sc.Bridges.push_back(sc.Bridges[0]);
    sc.Bridges.back().Serial = "0002";
    Install(sc);
    Sim::SimFault late; // the second controller answers 150 ms after the request is through
    late.Kind = Sim::SimFaultKind::Late;
    late.DelayMs = 150;
    bridges[1].Controller->AddFault(late);
    StepClock clock;
    ScopedClock useClock(clock);
    Sim::PtyServer server(lib, true);
    std::vector<int> fds;
    for (const auto& port : server.Ports())
        fds.push_back(OpenSlave(port.SlavePath));
    const uint64_t t0 = clock.Us;
    for (int fd : fds)
        WriteFd(fd, kStatusRequest);
    const auto served = [&] {
        return bridges[0].Controller->CountOf(20) + bridges[1].Controller->CountOf(20);
    };
    ServeUntil(server, [&] { return served() == 2; });
    const Sim::SimLine line;
    const uint64_t atHost =
        t0 + line.TimeUs(kStatusRequest.size()) + line.TimeUs(kStatusReply.size());
    for (const uint64_t due : {atHost, atHost + 150'000}) {
        clock.Us = due - 1;
        server.Poll(0);
        EXPECT_EQ(server.Pending(), kStatusReply.size());
        clock.Us = due;
        server.Poll(0);
        EXPECT_EQ(server.Pending(), 0u);
        EXPECT_EQ(ReadFd(fds[due == atHost ? 0 : 1], kStatusReply.size(), kPatienceMs),
                  kStatusReply);
    }
    for (int fd : fds)
        ::close(fd);
}

// The real serial backend, the device list and the version report against a
// served controller: what `NXUPDATE_PORTS=<path> nxupdate-cli` does.
TEST_F(PtyServerTest, SerialBackendListsAndReadsTheServedController)
{
    Install(Sim::DemoScenario());
    Sim::PtyServer server(lib);
    const std::string path = server.Ports()[0].SlavePath;
    server.Start();

    std::optional<std::string> oldPorts;
    if (const char* p = std::getenv(Bridge::SerialBridgeLib::kPortsVariable))
        oldPorts = p;
    ::setenv(Bridge::SerialBridgeLib::kPortsVariable, path.c_str(), 1);
    {
        RecordingSink sink;
        TNxDevList list;
        ASSERT_TRUE(list.Update());
        TNxDev* dev = list.FindBySerial(path);
        ASSERT_NE(dev, nullptr) << "no device for " << path;
        EXPECT_EQ(dev->GetName(), "Serial port (#" + path + ")");
        ASSERT_EQ(dev->GetChannels().size(), 3u);
        EXPECT_EQ(ChannelLabel(1, dev->GetChannels()[0]), "Channel #1 (0001|21|1330427)");
        EXPECT_EQ(ReadVersionInfo(*dev, 2).AppName, "Meridian");
        EXPECT_EQ(ReadVersionInfo(*dev, 0).TblName, "IncuControl");
        EXPECT_TRUE(sink.Shown.empty());
    }
    if (oldPorts)
        ::setenv(Bridge::SerialBridgeLib::kPortsVariable, oldPorts->c_str(), 1);
    else
        ::unsetenv(Bridge::SerialBridgeLib::kPortsVariable);
    server.Stop();
}

} // namespace

// nxsim --replay as a script sees it: the number of recorded exchanges at the
// start, a second run of the program under test starting the log over, and
// an exit code that tells a replay that matched (0) from one that did not
// (3, also leniently); --once plays the log once.
TEST_F(PtyServerTest, NxsimReplayStartsOverAndTellsByItsExitCodeWhetherAllMatched)
{
    const std::string sim = std::string(NX_BINARY_DIR) + "/nxsim";
    if (::access(sim.c_str(), X_OK) != 0)
        GTEST_SKIP() << sim << " is not built";
    TempFolder dir("nxsim_replay");
    std::string exchange = "12:00:00.000: --- SEND: CmdNr=20; CmdName='DeviceStatus'; Timeout=100\n"
                           "12:00:00.000: Writing...\n"
                           "12:00:00.001: SI_Write:         F0 00 14 00  52 66 00 [...]\n"
                           "12:00:00.001: Reading...\n"
                           "12:00:00.003: SI_Read:          F0 01 14 00  52 [.....]\n"
                           "12:00:00.003: Reading...\n"
                           "12:00:00.004: SI_Read:          00 66 00 [...]\n"
                           "12:00:00.004: --- RESP: OK: CmdNr=20\n";
    const std::string log = dir.Write("NxComLog_0.txt", exchange + exchange);
    const Bytes other = {0xF0, 0x00, 0x04, 0x00, 0x52, 0x56, 0x00};
    struct Row
    {
        std::vector<std::string> Args;
        std::vector<Bytes> Requests;
        const char* Answered; // for each request: y or n
        const char* Said;
        int Code;
    } rows[] = {
        {{},
         {kStatusRequest, kStatusRequest, kStatusRequest},
         "yyy",
         "replay-0: the log's first request again: starting over at exchange 1 (run 2)",
         0},
        {{}, {kStatusRequest, other}, "yn", "replay-0: answering nothing from here on", 3},
        {{"--lenient"}, {other, kStatusRequest}, "ny", "no later exchange has this request", 3},
        {{"--once"},
         {kStatusRequest, kStatusRequest, kStatusRequest},
         "yyn",
         "replay-0: a request after the last of the 2 recorded exchanges",
         3},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.Args.empty() ? "strict" : r.Args[0]);
        std::vector<std::string> args = r.Args;
        args.push_back("--replay=" + log);
        ServerProcess server = StartServer(sim, args);
        ASSERT_EQ(server.FirstLine.rfind("/dev/", 0), 0u) << server.FirstLine;
        const int fd = ::open(server.FirstLine.c_str(), O_RDWR | O_NOCTTY);
        ASSERT_GE(fd, 0);
        for (size_t i = 0; i < r.Requests.size(); ++i) {
            ASSERT_EQ(::write(fd, r.Requests[i].data(), r.Requests[i].size()), 7);
            if (r.Answered[i] == 'y') {
                EXPECT_EQ(ReadFd(fd, kStatusReply.size(), kPatienceMs), kStatusReply);
            }
        }
        // What nxsim said by now, and then at its end.
        std::string said;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (said.find(r.Said) == std::string::npos &&
               std::chrono::steady_clock::now() < deadline) {
            char buf[256];
            pollfd p{server.Err, POLLIN, 0};
            if (::poll(&p, 1, 100) > 0) {
                const ssize_t n = ::read(server.Err, buf, sizeof buf);
                if (n > 0)
                    said.append(buf, static_cast<size_t>(n));
            }
        }
        ::close(fd);
        const RunResult end = StopServer(server);
        said += end.Err;
        EXPECT_NE(said.find(" on " + server.FirstLine + ": 2 recorded exchanges\n"),
                  std::string::npos)
            << said;
        EXPECT_NE(said.find(r.Said), std::string::npos) << said;
        EXPECT_EQ(end.Code, r.Code) << said;
    }
}
