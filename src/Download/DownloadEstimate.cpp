#include "Download/DownloadEstimate.h"

#include "Appcfg.h"
#include "Bridge/SimBridge.h"
#include "NxClock.h"
#include "NxCom/TNxDev.h"
#include "NxException.h"
#include "Sim/SimController.h"

#include <memory>

void DownloadEstimate::AddExchanges(uint64_t count, uint64_t requestBytes, size_t replyPayload)
{
    Exchanges += count;
    RequestBytes += count * requestBytes;
    ReplyBytes += count * (kEmptyFrame + replyPayload);
}

DownloadEstimate& DownloadEstimate::operator+=(const DownloadEstimate& other)
{
    Exchanges += other.Exchanges;
    RequestBytes += other.RequestBytes;
    ReplyBytes += other.ReplyBytes;
    PauseMs += other.PauseMs;
    return *this;
}

double DownloadEstimate::WireMs() const
{
    return static_cast<double>(RequestBytes + ReplyBytes) * kBitsPerByte * 1000.0 / kBitsPerSecond;
}

uint64_t DownloadEstimate::LeastMs() const
{
    return static_cast<uint64_t>(WireMs()) + PauseMs;
}

std::string FormatLeastTime(uint64_t ms)
{
    if (ms < 1000)
        return StrFormat("%u ms", static_cast<unsigned>(ms));
    if (ms < 10000)
        return StrFormat("%u.%u s", static_cast<unsigned>(ms / 1000),
                         static_cast<unsigned>(ms % 1000 / 100));
    const uint64_t s = ms / 1000;
    if (s < 60)
        return StrFormat("%u s", static_cast<unsigned>(s));
    if (s < 3600)
        return StrFormat("%u min %02u s", static_cast<unsigned>(s / 60),
                         static_cast<unsigned>(s % 60));
    return StrFormat("%u h %02u min", static_cast<unsigned>(s / 3600),
                     static_cast<unsigned>(s % 3600 / 60));
}

namespace {

// The simulated controller behind a peer that counts what crosses the line.
class CountingPeer : public Bridge::ISimPeer
{
public:
    explicit CountingPeer(std::shared_ptr<Sim::SimController> ctl) : m_pCtl(std::move(ctl)) {}
    void OnHostWrite(Bridge::SimDevice& dev, const uint8_t* data, size_t n) override
    {
        const size_t before = dev.Pending();
        m_pCtl->OnHostWrite(dev, data, n);
        m_pCtl->ClearLog(); // a long image need not be kept twice
        ++Est.Exchanges;
        Est.RequestBytes += n;
        Est.ReplyBytes += dev.Pending() - before;
    }
    void OnFlush(Bridge::SimDevice& dev) override { m_pCtl->OnFlush(dev); }
    DownloadEstimate Est;

private:
    std::shared_ptr<Sim::SimController> m_pCtl;
};

// The simulated line in place of the process-wide backend, clock and log,
// which are back when it ends.
class SetAside
{
public:
    SetAside(Bridge::IBridgeLib& lib, INxClock& clock)
        : m_pLib(&Bridge::Lib()), m_pClock(&NxClock()), m_bComLog(CAppCfg::Instance().ComLog()),
          m_ComLogDir(CAppCfg::Instance().ComLogDir())
    {
        Bridge::SetLib(&lib);
        SetNxClock(&clock);
        CAppCfg::Instance().SetComLog(false);
    }
    ~SetAside()
    {
        CAppCfg::Instance().SetComLog(m_bComLog, m_ComLogDir);
        SetNxClock(m_pClock);
        Bridge::SetLib(m_pLib);
    }
    SetAside(const SetAside&) = delete;
    SetAside& operator=(const SetAside&) = delete;

private:
    Bridge::IBridgeLib* m_pLib;
    INxClock* m_pClock;
    bool m_bComLog;
    std::string m_ComLogDir;
};

} // namespace

DownloadEstimate MeasureOnSimulator(const std::function<void(Sim::SimController&)>& setup,
                                    const std::function<void(TNxDev&)>& run)
{
    auto ctl = std::make_shared<Sim::SimController>();
    ctl->KeepFlash = false;
    setup(*ctl);
    Bridge::SimBridgeLib lib;
    auto peer = std::make_shared<CountingPeer>(ctl);
    lib.Add("estimate")->SetPeer(peer);
    VirtualClock clock;
    DownloadEstimate est;
    {
        SetAside aside(lib, clock);
        TNxDev dev(0);
        if (dev.Open() != 0)
            throw NxException("The simulated controller for the estimate cannot be opened");
        run(dev);
        est = peer->Est;
    }
    for (uint32_t ms : clock.Sleeps())
        est.AddPause(ms);
    return est;
}
