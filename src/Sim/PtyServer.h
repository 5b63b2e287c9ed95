// Serves simulated controllers on pseudo-terminals, so that the real serial
// backend (and both front ends through NXUPDATE_PORTS) can talk to them end
// to end without hardware. Each plugged bridge of a simulated library gets
// its own pseudo-terminal; what the host writes to the slave side is read
// from the master and handed to the bridge's controller through the
// simulated port, and the controller's replies are written back to the
// master.
#pragma once

#include "../Bridge/SimBridge.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace Sim {

class PtyServer
{
public:
    // 57600 bit/s with 8N1 framing: ten bits a byte.
    static constexpr uint32_t kWireBytesPerSecond = 5760;

    // Opens one pseudo-terminal for every bridge of lib that is plugged now.
    // lib and its controllers must outlive the server; only the server's
    // thread may touch the controllers while it runs. wireTime paces both
    // directions at kWireBytesPerSecond, as a real line would. Raises
    // NxException when the system gives no pseudo-terminal.
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

    // Waits up to timeoutMs for host bytes on any port and answers them.
    void Poll(int timeoutMs);
    // Serves in the calling thread until RequestStop.
    void Run();
    // Safe from a signal handler: Run returns after its current round.
    void RequestStop() { m_bStop = true; }

    // Serves in a thread of its own; Stop ends and joins it.
    void Start();
    void Stop();

private:
    struct Channel;
    void Serve(Channel& ch);
    // Writes the controller's replies that have arrived to the master.
    void Forward(Channel& ch);
    void PacedWrite(Channel& ch, const uint8_t* data, size_t n);

    std::vector<Port> m_Ports;
    std::vector<std::unique_ptr<Channel>> m_Channels;
    bool m_bWireTime;
    std::atomic<bool> m_bStop{false};
    std::thread m_Thread;
};

} // namespace Sim
