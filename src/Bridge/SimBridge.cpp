#include "Bridge/SimBridge.h"

#include "NxClock.h"

#include <algorithm>
#include <cstdio>

namespace Bridge {

SimDevice::SimDevice(std::string serial, std::string description, uint16_t vid, uint16_t pid)
    : Serial(std::move(serial)), Description(std::move(description))
{
    char buf[8];
    std::snprintf(buf, sizeof buf, "%04X", vid);
    VidText = buf;
    std::snprintf(buf, sizeof buf, "%04X", pid);
    PidText = buf;
}

void SimDevice::ReplyLater(uint32_t delayMs, std::vector<uint8_t> data)
{
    m_Later.emplace(NxClock().NowMs() + delayMs, std::move(data));
}

size_t SimDevice::InFlight() const
{
    size_t n = 0;
    for (const auto& [at, data] : m_Later)
        n += data.size();
    return n;
}

void SimDevice::Arrive(uint64_t atMs)
{
    while (!m_Later.empty() && m_Later.begin()->first <= atMs) {
        const auto& data = m_Later.begin()->second;
        m_Rx.insert(m_Rx.end(), data.begin(), data.end());
        m_Later.erase(m_Later.begin());
    }
}

bool SimDevice::NextArrival(uint64_t& atMs) const
{
    if (m_Later.empty())
        return false;
    atMs = m_Later.begin()->first;
    return true;
}

void ScriptPeer::OnHostWrite(SimDevice& dev, const uint8_t* data, size_t n)
{
    Frames.emplace_back(data, data + n);
    if (m_Replies.empty())
        return;
    dev.Reply(m_Replies.front());
    m_Replies.pop_front();
}

namespace {

// Nanoseconds that n bytes take on the wire at the given rate, 10 bits a byte.
int64_t WireNs(size_t n, uint32_t baud)
{
    return baud ? static_cast<int64_t>(n * 10 * 1'000'000'000ull / baud) : 0;
}

} // namespace

class SimPort : public IPort
{
public:
    SimPort(std::shared_ptr<SimDevice> dev, SimBridgeLib& lib) : m_pDev(std::move(dev)), m_Lib(lib)
    {
        m_pDev->IsOpen = true;
    }
    ~SimPort() override
    {
        if (m_pDev->IsOpen)
            Close();
    }

    Status Close() override
    {
        m_pDev->Calls.push_back("Close");
        m_pDev->IsOpen = false;
        return kSuccess;
    }

    Status Read(uint8_t* buf, uint32_t count, uint32_t& got) override
    {
        got = 0;
        SimDevice& d = *m_pDev;
        d.Calls.push_back("Read " + std::to_string(count));
        d.ReadRequests.push_back(count);
        if (!d.IsPlugged())
            return kDeviceIoFailed;
        const uint32_t timeout = m_Lib.ReadTimeout();
        uint32_t waited = 0;
        d.Arrive(NxClock().NowMs());
        for (;;) {
            size_t n = std::min<size_t>(count - got, d.m_Rx.size());
            bool cut = false;
            if (d.ReadChunk && got + n > d.ReadChunk) {
                n = d.ReadChunk - std::min<size_t>(got, d.ReadChunk);
                cut = true;
            }
            std::copy_n(d.m_Rx.begin(), n, buf + got);
            d.m_Rx.erase(d.m_Rx.begin(), d.m_Rx.begin() + static_cast<std::ptrdiff_t>(n));
            got += static_cast<uint32_t>(n);
            if (m_Lib.WireTime())
                WireWait(n);
            if (got == count || cut)
                return kSuccess;
            if (d.ReadFailures > 0) {
                --d.ReadFailures;
                return d.ReadStatus;
            }
            // Late bytes that arrive within the timeout end the wait early.
            uint64_t at = 0;
            const uint64_t now = NxClock().NowMs();
            if (d.NextArrival(at) && (at <= now || at - now <= timeout - waited)) {
                const auto wait = static_cast<uint32_t>(at > now ? at - now : 0);
                Wait(wait, false);
                waited += wait;
                d.Arrive(at);
                continue;
            }
            // Not all bytes are there: a real read would wait its whole timeout.
            Wait(timeout - waited, true);
            return kReadTimedOut;
        }
    }

    Status Write(const uint8_t* buf, uint32_t count, uint32_t& written) override
    {
        written = 0;
        SimDevice& d = *m_pDev;
        d.Calls.push_back("Write " + std::to_string(count));
        if (!d.IsPlugged())
            return kDeviceIoFailed;
        if (d.WriteFailures > 0) {
            --d.WriteFailures;
            written = std::min(count, d.WriteAcceptBeforeFail);
            d.Written.insert(d.Written.end(), buf, buf + written);
            return d.WriteStatus;
        }
        written = count;
        d.Written.insert(d.Written.end(), buf, buf + count);
        d.HostReadTimeout = m_Lib.ReadTimeout();
        if (m_Lib.WireTime())
            WireWait(count);
        if (ISimPeer* peer = d.Peer())
            peer->OnHostWrite(d, buf, count);
        return kSuccess;
    }

    Status SetBaudRate(uint32_t baud) override
    {
        m_pDev->Calls.push_back("SetBaudRate " + std::to_string(baud));
        if (m_pDev->BaudStatus != kSuccess)
            return m_pDev->BaudStatus;
        m_Baud = baud;
        return kSuccess;
    }

    Status Flush(bool tx, bool rx) override
    {
        SimDevice& d = *m_pDev;
        d.Calls.push_back(std::string("Flush ") + (tx ? "1" : "0") + " " + (rx ? "1" : "0"));
        if (!d.IsPlugged())
            return kDeviceIoFailed;
        if (d.FlushStatus != kSuccess)
            return d.FlushStatus;
        if (rx) {
            d.Arrive(NxClock().NowMs());
            d.m_Rx.clear();
        }
        if (ISimPeer* peer = d.Peer())
            peer->OnFlush(d);
        return kSuccess;
    }

private:
    // A read's wait: for real in wire-time mode, else told to the clock.
    void Wait(uint32_t ms, bool timedOut)
    {
        if (m_Lib.WireTime())
            NxClock().SleepMs(ms);
        else if (timedOut)
            NxClock().SimulatedTimeout(ms);
        else
            NxClock().SimulatedWait(ms);
    }

    // Waits the line time of n bytes. Whole milliseconds go to the clock and
    // the rest is carried to the next transfer, as is what a real sleep
    // overran (the timer's slack, up to kMaxOverrunNs): a line neither rounds
    // up nor oversleeps, and the three or more transfers of every exchange
    // would otherwise each add their share. A longer overrun is the host's
    // own delay and is not given back.
    void WireWait(size_t n)
    {
        m_OwedNs += WireNs(n, m_Baud);
        if (m_OwedNs < 1'000'000)
            return;
        const auto ms = static_cast<uint32_t>(m_OwedNs / 1'000'000);
        INxClock& clock = NxClock();
        const uint64_t start = clock.NowNs();
        clock.SleepMs(ms);
        const int64_t spent =
            std::max(int64_t{ms} * 1'000'000, static_cast<int64_t>(clock.NowNs() - start));
        m_OwedNs = std::max(m_OwedNs - spent, -kMaxOverrunNs);
    }
    static constexpr int64_t kMaxOverrunNs = 1'000'000;

    std::shared_ptr<SimDevice> m_pDev;
    SimBridgeLib& m_Lib;
    uint32_t m_Baud = 57600;
    int64_t m_OwedNs = 0; // line time not yet waited; below 0 after an overrun
};

std::shared_ptr<SimDevice> SimBridgeLib::Add(std::string serial, std::string description,
                                             uint16_t vid, uint16_t pid)
{
    auto dev = std::make_shared<SimDevice>(std::move(serial), std::move(description), vid, pid);
    m_Devices.push_back(dev);
    return dev;
}

void SimBridgeLib::Remove(const std::shared_ptr<SimDevice>& dev)
{
    dev->Unplug();
    m_Devices.erase(std::remove(m_Devices.begin(), m_Devices.end(), dev), m_Devices.end());
}

std::shared_ptr<SimDevice> SimBridgeLib::Plugged(uint32_t index) const
{
    for (const auto& d : m_Devices) {
        if (!d->IsPlugged())
            continue;
        if (index == 0)
            return d;
        --index;
    }
    return nullptr;
}

Status SimBridgeLib::GetNumDevices(uint32_t& count)
{
    Calls.push_back("GetNumDevices");
    if (OverrideCount) {
        count = CountValue;
        return CountStatus;
    }
    count = static_cast<uint32_t>(
        std::count_if(m_Devices.begin(), m_Devices.end(), [](auto& d) { return d->IsPlugged(); }));
    return kSuccess;
}

Status SimBridgeLib::GetProductString(uint32_t index, std::string& out, int selector)
{
    Calls.push_back("GetProductString " + std::to_string(index) + " " + std::to_string(selector));
    auto dev = Plugged(index);
    if (!dev)
        return kDeviceNotFound;
    if (selector >= 0 && selector < 5 && dev->StringStatus[selector] != kSuccess)
        return dev->StringStatus[selector];
    switch (selector) {
    case kSerialNumber:
        out = dev->Serial;
        return kSuccess;
    case kDescription:
        out = dev->Description;
        return kSuccess;
    case kVendorId:
        out = dev->VidText;
        return kSuccess;
    case kProductId:
        out = dev->PidText;
        return kSuccess;
    default:
        return kInvalidParameter;
    }
}

Status SimBridgeLib::Open(uint32_t index, std::unique_ptr<IPort>& port, OpenProblem*)
{
    Calls.push_back("Open " + std::to_string(index));
    auto dev = Plugged(index);
    if (!dev)
        return kDeviceNotFound;
    ++dev->OpenCount;
    dev->Calls.push_back("Open");
    if (dev->OpenStatus != kSuccess)
        return dev->OpenStatus;
    port = std::make_unique<SimPort>(dev, *this);
    return kSuccess;
}

Status SimBridgeLib::SetTimeouts(uint32_t readMs, uint32_t writeMs)
{
    Calls.push_back("SetTimeouts " + std::to_string(readMs) + " " + std::to_string(writeMs));
    m_ReadTimeout = readMs;
    m_WriteTimeout = writeMs;
    return kSuccess;
}

} // namespace Bridge
