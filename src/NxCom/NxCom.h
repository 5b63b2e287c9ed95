// The link to one controller: a bridge port with the frame protocol on top,
// and the locked request/reply exchange.
#pragma once

#include "NxCom/CP210xCom.h"
#include "NxCom/NxCmd.h"

#include <optional>

class NxCom : public CP2102Com
{
public:
    explicit NxCom(int devIndex) : CP2102Com(devIndex) {}
    ~NxCom() override;

    // Count, open, 57600 bit/s, 250 ms timeouts, flush, and the log when on.
    NxStatus Open(Bridge::OpenProblem* problem = nullptr);
    // Encodes the request and writes it.
    NxStatus Send(NxCmd& cmd);
    // Reads one reply with the fewest reads and decodes it. With a deadline
    // (clock milliseconds) no read waits beyond it; without one each read
    // waits the timeout last set.
    NxStatus Receive(NxCmd& cmd, std::optional<uint64_t> deadlineMs = std::nullopt);
    // One whole exchange under the exchange lock; true when the reply was accepted.
    // Stale replies (another request's number) are dropped and logged; the
    // exchange still ends within timeoutMs of the send.
    bool Execute(NxCmd& cmd, uint32_t timeoutMs);
    // The last exchange failed because the port is gone (hang-up, I/O error,
    // device removed: the bridge says "Device IO Failed"); never after a timeout.
    bool PortLost() const { return m_bPortLost; }

    // The communication log of the bridge with this index, when logging is on.
    static std::string ComLogPath(int devIndex);

    static constexpr uint32_t kBaudRate = 57600;
    // Stale replies one exchange reads past before it gives up.
    static constexpr int kMaxStaleReplies = 8;

private:
    NxStatus ReceiveOwnReply(NxCmd& cmd, uint64_t deadlineMs);
    bool Failed(NxStatus status)
    {
        m_bPortLost = status == Bridge::kDeviceIoFailed;
        return false;
    }

    CMutexClass m_ExchangeLock;
    bool m_bPortLost = false;
};
