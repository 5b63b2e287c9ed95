// The real serial backend against a pseudo-terminal: the slave is listed in
// NXUPDATE_PORTS, the test plays the device on the master side. Timeouts here
// are real by nature, so they are kept short.
#include "Bridge/SerialBridge.h"
#include "Bridge/SimBridge.h"
#include "NxCom/NxCom.h"

#include "support/PtyFixture.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <fcntl.h>
#include <optional>
#include <poll.h>
#include <string>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <vector>

using namespace Bridge;
using Bytes = std::vector<uint8_t>;

namespace {

int64_t MsSince(std::chrono::steady_clock::time_point t0)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                                 t0)
        .count();
}

class SerialPty : public PtyFixture
{
protected:
    // Device side: up to n bytes, waiting at most timeoutMs in total.
    Bytes ReadMaster(size_t n, int timeoutMs)
    {
        Bytes got;
        const auto t0 = std::chrono::steady_clock::now();
        while (got.size() < n && MsSince(t0) < timeoutMs) {
            pollfd p{master, POLLIN, 0};
            if (::poll(&p, 1, 20) <= 0 || !(p.revents & POLLIN))
                continue;
            uint8_t buf[64];
            const ssize_t r = ::read(master, buf, std::min(sizeof buf, n - got.size()));
            if (r > 0)
                got.insert(got.end(), buf, buf + r);
        }
        return got;
    }
    void WriteMaster(const Bytes& b)
    {
        ASSERT_EQ(::write(master, b.data(), b.size()), ssize_t(b.size()));
    }

    std::unique_ptr<IPort> OpenPort()
    {
        uint32_t n = 0;
        EXPECT_EQ(lib.GetNumDevices(n), kSuccess);
        std::unique_ptr<IPort> port;
        EXPECT_EQ(lib.Open(usbCount, port), kSuccess);
        return port;
    }
};

TEST_F(SerialPty, ListsExistingPathsOnceWithPathIdentity)
{
    ListPorts("/nonexistent/nx-tty::" + slave + ":" + slave);
    uint32_t count = 0;
    ASSERT_EQ(lib.GetNumDevices(count), kSuccess);
    ASSERT_EQ(count, usbCount + 1); // missing path and the repeat are not listed

    std::string text;
    EXPECT_EQ(lib.GetProductString(usbCount, text, kSerialNumber), kSuccess);
    EXPECT_EQ(text, slave);
    EXPECT_EQ(lib.GetProductString(usbCount, text, kDescription), kSuccess);
    EXPECT_EQ(text, "Serial port");
    EXPECT_EQ(lib.GetProductString(usbCount, text, kVendorId), kSuccess);
    EXPECT_EQ(text, "0000");
    EXPECT_EQ(lib.GetProductString(usbCount, text, kProductId), kSuccess);
    EXPECT_EQ(text, "0000");
    EXPECT_EQ(lib.GetProductString(usbCount, text, 2), kInvalidParameter);
    EXPECT_EQ(lib.GetProductString(usbCount + 1, text, kSerialNumber), kDeviceNotFound);
    std::unique_ptr<IPort> port;
    EXPECT_EQ(lib.Open(usbCount + 1, port), kDeviceNotFound);

    // The same texts as the serial port class shows them.
    ScopedLib useLib(lib);
    std::string name;
    EXPECT_EQ(CP2102Com::GetDisplayName(name, static_cast<int>(usbCount)), 0);
    EXPECT_EQ(name, "Serial port (#" + slave + ")");
    uint32_t pid = 1, vid = 1;
    EXPECT_EQ(CP2102Com::GetIds(static_cast<int>(usbCount), pid, vid), 0);
    EXPECT_EQ(pid, 0u);
    EXPECT_EQ(vid, 0u);
}

TEST_F(SerialPty, DeviceStatusExchangeThroughRealStack)
{
    ScopedLib useLib(lib);
    NxCom com(static_cast<int>(usbCount));
    ASSERT_EQ(com.Open(), 0);

    Bytes request;
    std::thread device([&] {
        request = ReadMaster(7, 10000); // a bound against a hang, not a measure
        // length 1, DeviceStatus, channel 0, 'R', payload 00, sum 0x0066
        const Bytes reply{0xF0, 0x01, 0x14, 0x00, 0x52, 0x00, 0x66, 0x00};
        if (request.size() == 7)
            (void)!::write(master, reply.data(), reply.size());
    });
    NxCmd cmd(20, "DeviceStatus", 0, 0x52, nullptr, 0);
    const bool ok = com.Execute(cmd, 10000);
    device.join();

    EXPECT_EQ(request, (Bytes{0xF0, 0x00, 0x14, 0x00, 0x52, 0x66, 0x00}));
    ASSERT_TRUE(ok) << cmd.GetErrMsg();
    EXPECT_EQ(cmd.PayloadLength(), 1);
    EXPECT_EQ(cmd.Payload()[0], 0x00);

    // The line as the device sees it: raw 8N1 at the link's rate, no echo, no
    // flow control. Without root the exclusive open refuses this look.
    const int fd = ::open(slave.c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) {
        EXPECT_EQ(errno, EBUSY);
        return;
    }
    termios t{};
    ASSERT_EQ(::tcgetattr(fd, &t), 0);
    ::close(fd);
    EXPECT_EQ(t.c_cflag & CSIZE, tcflag_t(CS8));
    EXPECT_EQ(t.c_cflag & (PARENB | CSTOPB | CRTSCTS), 0u);
    EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ISIG), 0u);
    EXPECT_EQ(t.c_iflag & (IXON | IXOFF | ICRNL), 0u);
    EXPECT_EQ(t.c_oflag & OPOST, 0u);
    EXPECT_EQ(::cfgetospeed(&t), speed_t(B57600));
}

TEST_F(SerialPty, ReadsAndWritesGiveUpAfterTheirTimeouts)
{
    auto port = OpenPort();
    ASSERT_TRUE(port);
    // Long enough for the written bytes to cross even a busy machine's
    // pseudo-terminal before the read gives up.
    ASSERT_EQ(lib.SetTimeouts(200, 50), kSuccess);

    // Three of seven bytes arrive: timed out after at least 200 ms, bytes kept.
    WriteMaster({0x11, 0x22, 0x33});
    uint8_t buf[7] = {};
    uint32_t got = 0;
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(port->Read(buf, 7, got), kReadTimedOut);
    EXPECT_GE(MsSince(t0), 195);
    ASSERT_EQ(got, 3u);
    EXPECT_EQ(Bytes(buf, buf + 3), (Bytes{0x11, 0x22, 0x33}));

    // Timeout 0 means "do not wait", never "wait forever" (the test would
    // hang); it also applies to a port that is already open.
    ASSERT_EQ(lib.SetTimeouts(0, 0), kSuccess);
    EXPECT_EQ(port->Read(buf, 7, got), kReadTimedOut);
    EXPECT_EQ(got, 0u);

    // Nobody reads the device side: the write stops after its timeout.
    ASSERT_EQ(lib.SetTimeouts(50, 50), kSuccess);
    const std::vector<uint8_t> big(1 << 20, 0x55);
    uint32_t written = 0;
    t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(port->Write(big.data(), static_cast<uint32_t>(big.size()), written), kWriteTimedOut);
    EXPECT_GE(MsSince(t0), 45);
    EXPECT_LT(written, big.size());
}

TEST_F(SerialPty, VanishedPortFailsWithoutCrash)
{
    ScopedLib useLib(lib);
    NxCom com(static_cast<int>(usbCount));
    ASSERT_EQ(com.Open(), 0);
    CloseMaster();

    NxCmd cmd(20, "DeviceStatus", 0, 0x52, nullptr, 0);
    EXPECT_FALSE(com.Execute(cmd, 1000));
    EXPECT_EQ(cmd.GetErrMsg(), "Device IO Failed");

    // The hang-up is final: an I/O failure, not a read that timed out.
    uint8_t buf[5];
    EXPECT_EQ(com.Read(buf, 5), kDeviceIoFailed);
    EXPECT_NE(com.Flush(), kSuccess);
    EXPECT_EQ(com.Close(), kSuccess);

    // With its device side gone the pseudo-terminal is no longer listed.
    uint32_t count = 0;
    EXPECT_EQ(lib.GetNumDevices(count), kSuccess);
    EXPECT_EQ(count, usbCount);
}

TEST_F(SerialPty, RefusesUnknownRatesSecondOpenersAndClosedPorts)
{
    auto port = OpenPort();
    ASSERT_TRUE(port);
    EXPECT_EQ(port->SetBaudRate(12345), kInvalidBaudrate);
    EXPECT_EQ(port->SetBaudRate(0), kInvalidBaudrate);
    EXPECT_EQ(port->SetBaudRate(57600), kSuccess);
    EXPECT_EQ(port->SetBaudRate(115200), kSuccess);

    // One user at a time, even for root.
    std::unique_ptr<IPort> second;
    EXPECT_EQ(lib.Open(usbCount, second), kDeviceIoFailed);
    EXPECT_FALSE(second);

    EXPECT_EQ(port->Close(), kSuccess);
    EXPECT_EQ(port->Close(), kInvalidHandle);
    uint8_t b = 0;
    uint32_t n = 0;
    EXPECT_EQ(port->Read(&b, 1, n), kInvalidHandle);
    EXPECT_EQ(port->Write(&b, 1, n), kInvalidHandle);
    EXPECT_EQ(port->Flush(true, true), kInvalidHandle);

    EXPECT_EQ(lib.Open(usbCount, second), kSuccess);
}

} // namespace
