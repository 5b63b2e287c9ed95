// Progress of a firmware download, reported by NxProgrammer to its caller.
#pragma once

#include <cstdint>
#include <string>

struct ProgBlock;

class IProg
{
public:
    virtual ~IProg() = default;
    // The controller's flash is about to be erased.
    virtual void OnEraseStart() = 0;
    // A block (controller) or page (component) is about to be sent: step index
    // counted from 0 and the total number of steps of the whole download.
    virtual void OnBlockProgress(const ProgBlock& block, uint32_t index, uint32_t count) = 0;
    // The 32-bit image checksum (controller only).
    virtual void OnChecksum(uint32_t sum) = 0;
    // The download failed with this message.
    virtual void OnFailure(const char* text) = 0;
    // A reset is about to be sent: false into the bootloader, true into the application.
    virtual void OnReset(bool toApplication) = 0;
    // A fixed pause of ms begins: the target is switching between its
    // bootloader and its application.
    virtual void OnPause(uint32_t /*ms*/) {}
    // A block or page is about to be sent again: attempt (from 2) of attempts.
    virtual void OnRetry(int /*attempt*/, int /*attempts*/) {}
};

// Reports nothing and keeps the failure's text: for checks and estimates
// that run a download's steps without a user watching.
class FailureOnlyProg : public IProg
{
public:
    void OnEraseStart() override {}
    void OnBlockProgress(const ProgBlock&, uint32_t, uint32_t) override {}
    void OnChecksum(uint32_t) override {}
    void OnFailure(const char* text) override { Failure = text ? text : ""; }
    void OnReset(bool) override {}
    std::string Failure;
};
