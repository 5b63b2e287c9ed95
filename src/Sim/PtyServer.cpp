#include "PtyServer.h"

#include "../NxClock.h"
#include "../NxException.h"
#include "SimController.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

namespace Sim {

struct PtyServer::Channel
{
    int Master = -1;
    // Held open by the server: without any open slave the master reports
    // hang-up and loses what the host writes between two opens.
    int Slave = -1;
    std::unique_ptr<Bridge::IPort> Link;
    std::shared_ptr<Bridge::SimDevice> Device;

    ~Channel()
    {
        Link.reset();
        if (Slave >= 0)
            ::close(Slave);
        if (Master >= 0)
            ::close(Master);
    }
};

namespace {

// Milliseconds that n bytes need on the line.
uint64_t WireMs(size_t n)
{
    return (n * 1000 + PtyServer::kWireBytesPerSecond - 1) / PtyServer::kWireBytesPerSecond;
}

// The host gets its own bytes back only if the terminal echoes; it must not.
void MakeRaw(int fd)
{
    termios t{};
    if (::tcgetattr(fd, &t) == 0) {
        ::cfmakeraw(&t);
        ::tcsetattr(fd, TCSANOW, &t);
    }
}

// Records the simulated bridge keeps of every call; a long-running server
// must not let them grow without end.
constexpr size_t kMaxRecordedBytes = 1 << 20;

} // namespace

PtyServer::PtyServer(Bridge::SimBridgeLib& lib, bool wireTime) : m_bWireTime(wireTime)
{
    uint32_t index = 0;
    for (const auto& dev : lib.Devices()) {
        if (!dev->IsPlugged())
            continue;
        auto ch = std::make_unique<Channel>();
        ch->Device = dev;
        ch->Master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (ch->Master < 0 || ::grantpt(ch->Master) != 0 || ::unlockpt(ch->Master) != 0)
            ThrowNx("No pseudo-terminal for bridge '%s': %s", dev->Serial.c_str(),
                    std::strerror(errno));
        const char* name = ::ptsname(ch->Master);
        if (!name)
            ThrowNx("No pseudo-terminal for bridge '%s': %s", dev->Serial.c_str(),
                    std::strerror(errno));
        const std::string path = name;
        ch->Slave = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (ch->Slave < 0)
            ThrowNx("Cannot open '%s': %s", path.c_str(), std::strerror(errno));
        MakeRaw(ch->Slave);
        // Replies nobody reads must not block the server.
        ::fcntl(ch->Master, F_SETFL, ::fcntl(ch->Master, F_GETFL) | O_NONBLOCK);
        // Plugged devices are indexed in list order.
        const Bridge::Status st = lib.Open(index++, ch->Link);
        if (st != Bridge::kSuccess || !ch->Link)
            ThrowNx("Cannot open simulated bridge '%s' (status %d)", dev->Serial.c_str(), st);
        m_Ports.push_back({path, dev});
        m_Channels.push_back(std::move(ch));
    }
}

PtyServer::~PtyServer()
{
    Stop();
}

void PtyServer::Poll(int timeoutMs)
{
    std::vector<pollfd> fds;
    for (const auto& ch : m_Channels)
        fds.push_back({ch->Master, POLLIN, 0}); // a hung-up channel (-1) is skipped by poll
    // A late reply must go out when it is due, not with the next request.
    const uint64_t now = NxClock().NowMs();
    for (const auto& ch : m_Channels) {
        uint64_t at = 0;
        if (ch->Link && ch->Device->NextArrival(at))
            timeoutMs = static_cast<int>(std::min<uint64_t>(at > now ? at - now : 0, timeoutMs));
    }
    if (!fds.empty() && ::poll(fds.data(), fds.size(), timeoutMs) > 0) {
        for (size_t i = 0; i < fds.size(); ++i)
            if (fds[i].revents & POLLIN)
                Serve(*m_Channels[i]);
    }
    for (const auto& ch : m_Channels)
        if (ch->Link && ch->Device->InFlight() > 0)
            Forward(*ch);
}

void PtyServer::Serve(Channel& ch)
{
    uint8_t buf[4096];
    const ssize_t n = ::read(ch.Master, buf, sizeof buf);
    if (n <= 0)
        return;
    if (m_bWireTime)
        NxClock().SleepMs(static_cast<uint32_t>(WireMs(static_cast<size_t>(n))));

    uint32_t written = 0;
    ch.Link->Write(buf, static_cast<uint32_t>(n), written);
    Forward(ch);

    Bridge::SimDevice& d = *ch.Device;
    if (!d.IsPlugged()) {
        // Unplugged (a fault of the scenario): hang up, as a USB bridge's
        // terminal does, so that the host fails at once instead of waiting.
        ch.Link.reset();
        ::close(ch.Slave);
        ::close(ch.Master);
        ch.Slave = ch.Master = -1;
        return;
    }
    if (d.Written.size() > kMaxRecordedBytes) {
        d.Written.clear();
        d.Calls.clear();
        d.ReadRequests.clear();
        if (auto* c = dynamic_cast<SimController*>(d.Peer()))
            c->ClearLog();
    }
}

void PtyServer::Forward(Channel& ch)
{
    // The server sets no read timeout: each read takes only what has arrived.
    uint8_t buf[4096];
    for (;;) {
        uint32_t got = 0;
        ch.Link->Read(buf, sizeof buf, got);
        if (got == 0)
            break;
        PacedWrite(ch, buf, got);
    }
}

void PtyServer::PacedWrite(Channel& ch, const uint8_t* data, size_t n)
{
    // In wire-time mode each slice goes out when its last byte would have
    // crossed the line.
    constexpr size_t kSlice = 32;
    const uint64_t t0 = NxClock().NowMs();
    for (size_t done = 0; done < n;) {
        const size_t len = m_bWireTime ? std::min(kSlice, n - done) : n - done;
        if (m_bWireTime) {
            const uint64_t due = t0 + WireMs(done + len);
            const uint64_t now = NxClock().NowMs();
            if (due > now)
                NxClock().SleepMs(static_cast<uint32_t>(due - now));
        }
        const ssize_t w = ::write(ch.Master, data + done, len);
        if (w < 0 && errno == EINTR)
            continue;
        if (w <= 0)
            return; // nobody reads: the bytes are lost, as on a real line
        done += static_cast<size_t>(w);
    }
}

void PtyServer::Run()
{
    while (!m_bStop)
        Poll(100);
}

void PtyServer::Start()
{
    if (m_Thread.joinable())
        return;
    m_bStop = false;
    m_Thread = std::thread([this] { Run(); });
}

void PtyServer::Stop()
{
    m_bStop = true;
    if (m_Thread.joinable())
        m_Thread.join();
}

} // namespace Sim
