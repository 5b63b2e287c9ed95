// Serves simulated controllers on pseudo-terminals, so that the real serial
// backend (and both front ends through NXUPDATE_PORTS) can talk to them end
// to end without hardware. Each plugged bridge of a simulated library gets
// its own pseudo-terminal; what the host writes to the slave side is read
// from the master and handed to the bridge's controller through the
// simulated port, and the controller's replies are written back to the
// master.
//
// One thread serves every terminal and never sleeps between them: each
// terminal keeps a schedule of absolute times (microseconds on the process
// clock), and the server waits for the earliest of them or for host bytes.
#pragma once

#include "Bridge/SimBridge.h"
#include "Sim/SimLine.h"

#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace Sim {

class PtyServer
{
public:
    // 57600 bit/s with 8N1 framing: ten bits a byte.
    static constexpr uint32_t kWireBitsPerSecond = 57600;
    // Replies reach the host in slices of at most this many bytes, each when
    // its last byte would have crossed the line.
    static constexpr size_t kSlice = 32;
    // The last stretch before a due time is spun (host bytes still read),
    // not slept: a timer wakes late by up to hundreds of microseconds.
    static constexpr uint64_t kSpinUs = 300;

    // Opens one pseudo-terminal for every bridge of lib that is plugged now.
    // lib and its controllers must outlive the server; only the server's
    // thread may touch the controllers while it runs. wireTime paces both
    // directions of every terminal as its own line: the reply starts when
    // the request's last byte has crossed the line (plus the device's own
    // delay, for a late reply) and follows byte by byte. Raises NxException
    // when the system gives no pseudo-terminal.
    explicit PtyServer(Bridge::SimBridgeLib& lib, bool wireTime = false);
    ~PtyServer();
    PtyServer(const PtyServer&) = delete;
    PtyServer& operator=(const PtyServer&) = delete;

    struct Port
    {
        std::string SlavePath; // what the host opens (list it in NXUPDATE_PORTS)
        std::shared_ptr<Bridge::SimDevice> Device;
    };
    const std::vector<Port>& Ports() const { return m_Ports; }

    // Does what is due, waits up to timeoutMs for host bytes or the next
    // due time, and does what is due then.
    void Poll(int timeoutMs);
    // Serves in the calling thread until RequestStop.
    void Run();
    // Safe from a signal handler: Run returns after its current round.
    void RequestStop() { m_bStop = true; }

    // Serves in a thread of its own; Stop ends and joins it.
    void Start();
    void Stop();

    // Bytes of the devices on their way to the host, on every terminal.
    size_t Pending() const;

    // Now on the server's clock: the process clock (NxClock) in microseconds.
    static uint64_t NowUs();

private:
    struct Channel;
    // Bytes on their way, due when their last byte is through.
    struct Piece
    {
        uint64_t DueUs;
        std::vector<uint8_t> Bytes;
    };

    // Reads what the host wrote, hands it to the device and queues the
    // answer for when the request is through.
    void Receive(Channel& ch, uint64_t nowUs);
    // Queues late answers of the device and writes the slices that are through.
    void Step(Channel& ch, uint64_t nowUs);
    void Deliver(Channel& ch, const uint8_t* bytes, size_t n);
    // Puts the device's answers, ready at readyUs, on the line to the host.
    void Collect(Channel& ch, uint64_t readyUs);
    // The earliest time something is due on ch; UINT64_MAX when nothing is.
    uint64_t NextDue(const Channel& ch) const;
    void HangUp(Channel& ch);

    std::vector<Port> m_Ports;
    std::vector<std::unique_ptr<Channel>> m_Channels;
    bool m_bWireTime;
    std::atomic<bool> m_bStop{false};
    std::thread m_Thread;
};

} // namespace Sim
