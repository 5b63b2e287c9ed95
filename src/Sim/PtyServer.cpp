#include "Sim/PtyServer.h"

#include "NxClock.h"
#include "NxException.h"
#include "Sim/SimController.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
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
    SimLine ToDevice{kWireBitsPerSecond}, ToHost{kWireBitsPerSecond};
    std::deque<Piece> Leaving; // device bytes, due when they reach the host
    // How much sooner than the line the device got the last request: its
    // late replies (SimDevice::ReplyLater) leave that much later.
    uint64_t EarlyUs = 0;

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

constexpr uint64_t kNever = UINT64_MAX;

} // namespace

uint64_t PtyServer::NowUs()
{
    return NxClock().NowNs() / 1000;
}

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
    uint64_t now = NowUs();
    uint64_t next = kNever;
    for (const auto& ch : m_Channels) {
        Step(*ch, now);
        next = std::min(next, NextDue(*ch));
    }
    std::vector<pollfd> fds;
    for (const auto& ch : m_Channels)
        fds.push_back({ch->Master, POLLIN, 0}); // a hung-up channel (-1) is skipped by poll
    uint64_t waitUs = static_cast<uint64_t>(std::max(timeoutMs, 0)) * 1000;
    const bool due = next != kNever && next - std::min(next, now) <= waitUs;
    if (due)
        waitUs = next - std::min(next, now);
    // Sleep to just before a due time, spin the rest (kSpinUs).
    const uint64_t sleepUs = due ? waitUs - std::min(waitUs, kSpinUs) : waitUs;
    const timespec wait{static_cast<time_t>(sleepUs / 1'000'000),
                        static_cast<long>(sleepUs % 1'000'000 * 1000)};
    bool input = !fds.empty() && ::ppoll(fds.data(), fds.size(), &wait, nullptr) > 0;
    const timespec none{0, 0};
    while (due && !input && !m_bStop && NowUs() < next)
        input = !fds.empty() && ::ppoll(fds.data(), fds.size(), &none, nullptr) > 0;
    if (input) {
        now = NowUs();
        for (size_t i = 0; i < fds.size(); ++i)
            if (fds[i].revents & POLLIN)
                Receive(*m_Channels[i], now);
    }
    now = NowUs();
    for (const auto& ch : m_Channels)
        Step(*ch, now);
}

void PtyServer::Receive(Channel& ch, uint64_t nowUs)
{
    uint8_t buf[4096];
    const ssize_t n = ::read(ch.Master, buf, sizeof buf);
    if (n <= 0 || !ch.Link)
        return;
    // The host wrote these bytes at once; the line takes them one after
    // another from the moment they were seen. The device answers at once,
    // and its answer leaves when the request is through: scheduling it now
    // saves a wake-up that a busy machine could make late.
    const uint64_t through = m_bWireTime ? ch.ToDevice.Send(static_cast<size_t>(n), nowUs) : nowUs;
    ch.EarlyUs = through - nowUs;
    Deliver(ch, buf, static_cast<size_t>(n));
    Collect(ch, through);
}

void PtyServer::Step(Channel& ch, uint64_t nowUs)
{
    uint64_t atMs = 0;
    if (ch.Link && ch.Device->NextArrival(atMs) && atMs * 1000 + ch.EarlyUs <= nowUs)
        Collect(ch, atMs * 1000 + ch.EarlyUs); // a late reply of the device
    while (ch.Master >= 0 && !ch.Leaving.empty() && ch.Leaving.front().DueUs <= nowUs) {
        const Piece& p = ch.Leaving.front();
        ssize_t w;
        do
            w = ::write(ch.Master, p.Bytes.data(), p.Bytes.size());
        while (w < 0 && errno == EINTR);
        // Nobody reads (w < 0) or reads slowly: the rest is lost, as on a real line.
        ch.Leaving.pop_front();
    }
}

void PtyServer::Deliver(Channel& ch, const uint8_t* bytes, size_t n)
{
    uint32_t written = 0;
    ch.Link->Write(bytes, static_cast<uint32_t>(n), written);
    Bridge::SimDevice& d = *ch.Device;
    if (!d.IsPlugged()) {
        // Unplugged (a fault of the scenario): hang up, as a USB bridge's
        // terminal does, so that the host fails at once instead of waiting.
        HangUp(ch);
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

void PtyServer::Collect(Channel& ch, uint64_t readyUs)
{
    if (!ch.Link)
        return;
    // The server sets no read timeout: each read takes only what has arrived.
    uint8_t buf[4096];
    for (;;) {
        uint32_t got = 0;
        ch.Link->Read(buf, sizeof buf, got);
        if (got == 0)
            break;
        for (uint32_t done = 0; done < got;) {
            const uint32_t len = m_bWireTime ? std::min<uint32_t>(kSlice, got - done) : got - done;
            const uint64_t due = m_bWireTime ? ch.ToHost.Send(len, readyUs) : readyUs;
            ch.Leaving.push_back({due, std::vector<uint8_t>(buf + done, buf + done + len)});
            done += len;
        }
    }
}

uint64_t PtyServer::NextDue(const Channel& ch) const
{
    uint64_t next = ch.Leaving.empty() ? kNever : ch.Leaving.front().DueUs;
    uint64_t atMs = 0;
    if (ch.Link && ch.Device->NextArrival(atMs))
        next = std::min(next, atMs * 1000 + ch.EarlyUs);
    return next;
}

size_t PtyServer::Pending() const
{
    size_t n = 0;
    for (const auto& ch : m_Channels)
        for (const Piece& p : ch->Leaving)
            n += p.Bytes.size();
    return n;
}

void PtyServer::HangUp(Channel& ch)
{
    ch.Link.reset();
    ::close(ch.Slave);
    ::close(ch.Master);
    ch.Slave = ch.Master = -1;
    ch.Leaving.clear();
}

void PtyServer::Run()
{
    // The line's pace is kept to the microsecond: the kernel's default
    // timer slack (50 us) would make every wake-up late by up to that much.
    ::prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
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
