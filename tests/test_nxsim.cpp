// The pseudo-terminal server: raw frames through the slave side, wire-time
// pacing measured on a virtual clock, and the whole stack (serial backend,
// device list, version report) against a served demo controller.
#include "Bridge/SerialBridge.h"
#include "NxClock.h"
#include "NxCom/TNxDevList.h"
#include "Sim/PtyServer.h"
#include "Sim/SimScenario.h"
#include "VersionInfo.h"
#include "support/Recorders.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <fcntl.h>
#include <functional>
#include <numeric>
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

// Wire time: the request's bytes and then the reply's take their time on the
// line at 5760 bytes/s; without wire time nothing waits.
TEST_F(PtyServerTest, WireTimePacesRequestAndReplyOnTheClock)
{
    Install(Sim::DemoScenario());
    for (const bool wireTime : {false, true}) {
        VirtualClock clock;
        SetNxClock(&clock);
        {
            Sim::PtyServer server(lib, wireTime);
            server.Start();
            const int fd = OpenSlave(server.Ports()[0].SlavePath);
            WriteFd(fd, kStatusRequest);
            EXPECT_EQ(ReadFd(fd, kStatusReply.size(), kPatienceMs), kStatusReply);
            ::close(fd);
            server.Stop();
        }
        SetNxClock(nullptr);
        const auto sleeps = clock.Sleeps();
        const uint32_t total = std::accumulate(sleeps.begin(), sleeps.end(), 0u);
        // 7 bytes: ceil(7000 / 5760) = 2 ms; 8 bytes: 2 ms.
        EXPECT_EQ(total, wireTime ? 4u : 0u) << "wire time " << wireTime;
    }
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
