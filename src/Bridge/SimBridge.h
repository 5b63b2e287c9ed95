// In-process bridge backend. Each simulated bridge has an identity, can be
// plugged and unplugged at run time, and has a device-side peer that answers
// what the host writes. Reads never wait for real: a read that cannot be
// satisfied fails at once with kReadTimedOut and tells the clock which
// timeout it stood for (unless wire-time mode asks for real pacing).
#pragma once

#include "Bridge/BridgeLib.h"

#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace Bridge {

class SimDevice;

// The device side of one simulated bridge.
class ISimPeer
{
public:
    virtual ~ISimPeer() = default;
    // The host wrote these bytes; the peer answers through dev.Reply().
    virtual void OnHostWrite(SimDevice& dev, const uint8_t* data, size_t n) = 0;
    // The host discarded the bridge's buffers.
    virtual void OnFlush(SimDevice& /*dev*/) {}
};

// One simulated bridge: identity, plug state, receive queue, fault switches
// and a record of every call the host made.
class SimDevice
{
public:
    SimDevice(std::string serial, std::string description, uint16_t vid = 0x10C4,
              uint16_t pid = 0xEA60);

    // Identity texts as the product-string query returns them.
    std::string Serial, Description, VidText, PidText;

    void SetPeer(std::shared_ptr<ISimPeer> peer) { m_pPeer = std::move(peer); }
    ISimPeer* Peer() const { return m_pPeer.get(); }

    void Plug() { m_bPlugged = true; }
    void Unplug() { m_bPlugged = false; }
    bool IsPlugged() const { return m_bPlugged; }

    // Bytes the host will read next (device to host).
    void Reply(const uint8_t* data, size_t n) { m_Rx.insert(m_Rx.end(), data, data + n); }
    void Reply(const std::vector<uint8_t>& data) { Reply(data.data(), data.size()); }
    size_t Pending() const { return m_Rx.size(); }
    // Bytes that reach the host delayMs from now (clock time): a late reply.
    // A flush discards only what has arrived by then.
    void ReplyLater(uint32_t delayMs, std::vector<uint8_t> data);
    // Bytes still on their way.
    size_t InFlight() const;
    // When the next late bytes arrive; false when none are on their way.
    bool NextArrival(uint64_t& atMs) const;

    // Fault switches.
    Status OpenStatus = kSuccess;       // returned by Open
    Status BaudStatus = kSuccess;       // returned by SetBaudRate
    Status FlushStatus = kSuccess;      // returned by Flush
    Status WriteStatus = kSuccess;      // returned by the next writes (once each)
    int WriteFailures = 0;              // how many writes fail with WriteStatus
    uint32_t WriteAcceptBeforeFail = 0; // bytes taken by a failing write
    uint32_t ReadChunk = 0;             // most bytes one library read returns (0: all)
    Status ReadStatus = kSuccess;       // returned, instead of a timeout, by the next reads
    int ReadFailures = 0;               // that find too few bytes: how many
    // Per product-string selector: a status to fail that query with.
    Status StringStatus[5] = {kSuccess, kSuccess, kSuccess, kSuccess, kSuccess};

    // What the host did.
    std::vector<std::string> Calls;     // "Open", "Write 7", "Read 5", ...
    std::vector<uint8_t> Written;       // all bytes the host wrote
    std::vector<uint32_t> ReadRequests; // count asked by each library read
    int OpenCount = 0;
    bool IsOpen = false;
    uint32_t HostReadTimeout = 0; // the read timeout in force when the host last wrote

private:
    friend class SimPort;
    friend class SimBridgeLib;
    // Moves the late bytes due by atMs into the receive queue.
    void Arrive(uint64_t atMs);

    bool m_bPlugged = true;
    std::deque<uint8_t> m_Rx;
    std::multimap<uint64_t, std::vector<uint8_t>> m_Later; // by arrival, then in order sent
    std::shared_ptr<ISimPeer> m_pPeer;
};

// A peer for tests: answers the n-th host write with the n-th scripted
// reply (an empty reply is silence); writes beyond the script get silence.
class ScriptPeer : public ISimPeer
{
public:
    void Queue(std::vector<uint8_t> reply) { m_Replies.push_back(std::move(reply)); }
    void OnHostWrite(SimDevice& dev, const uint8_t* data, size_t n) override;
    std::vector<std::vector<uint8_t>> Frames; // every write, as written

private:
    std::deque<std::vector<uint8_t>> m_Replies;
};

class SimBridgeLib : public IBridgeLib
{
public:
    SimBridgeLib() = default;

    std::shared_ptr<SimDevice> Add(std::string serial, std::string description = "Controller",
                                   uint16_t vid = 0x10C4, uint16_t pid = 0xEA60);
    void Remove(const std::shared_ptr<SimDevice>& dev);
    const std::vector<std::shared_ptr<SimDevice>>& Devices() const { return m_Devices; }

    // Fault switch: status and count reported by GetNumDevices (when set).
    bool OverrideCount = false;
    Status CountStatus = kSuccess;
    uint32_t CountValue = 0;

    // Wire-time mode: every byte takes its time at this bit rate (8N1), and a
    // read that cannot be satisfied waits its whole timeout for real.
    void SetWireTime(bool on) { m_bWireTime = on; }
    bool WireTime() const { return m_bWireTime; }

    Status GetNumDevices(uint32_t& count) override;
    Status GetProductString(uint32_t index, std::string& out, int selector) override;
    Status Open(uint32_t index, std::unique_ptr<IPort>& port,
                OpenProblem* problem = nullptr) override;
    Status SetTimeouts(uint32_t readMs, uint32_t writeMs) override;
    uint32_t ReadTimeout() const override { return m_ReadTimeout; }
    uint32_t WriteTimeout() const override { return m_WriteTimeout; }
    uint32_t BaudRate = 57600;
    std::vector<std::string> Calls; // library-level calls ("SetTimeouts 100 250", ...)

private:
    std::shared_ptr<SimDevice> Plugged(uint32_t index) const;

    std::vector<std::shared_ptr<SimDevice>> m_Devices;
    uint32_t m_ReadTimeout = 0, m_WriteTimeout = 0;
    bool m_bWireTime = false;
};

// Installs a backend for one scope (tests and front ends).
class ScopedLib
{
public:
    explicit ScopedLib(IBridgeLib& lib) { SetLib(&lib); }
    ~ScopedLib() { SetLib(nullptr); }
    ScopedLib(const ScopedLib&) = delete;
    ScopedLib& operator=(const ScopedLib&) = delete;
};

} // namespace Bridge
