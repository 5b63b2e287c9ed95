// The link to one controller: a bridge port with the frame protocol on top,
// and the locked request/reply exchange.
#pragma once

#include "CP210xCom.h"
#include "NxCmd.h"

class NxCom : public CP2102Com
{
public:
    explicit NxCom(int devIndex) : CP2102Com(devIndex) {}
    ~NxCom() override;

    // Count, open, 57600 bit/s, 250 ms timeouts, flush, and the log when on.
    NxStatus Open();
    // Encodes the request and writes it.
    NxStatus Send(NxCmd& cmd);
    // Reads one reply with the fewest reads and decodes it.
    NxStatus Receive(NxCmd& cmd);
    // One whole exchange under the exchange lock; true when the reply was accepted.
    bool Execute(NxCmd& cmd, uint32_t timeoutMs);

    // The communication log of the bridge with this index, when logging is on.
    static std::string ComLogPath(int devIndex);

    static constexpr uint32_t kBaudRate = 57600;

private:
    CMutexClass m_ExchangeLock;
};
