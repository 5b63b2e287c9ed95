// The least time a download takes: its frames on the wire at the line's bit
// rate and the fixed pauses of its sequence. The device's own processing time
// is not known, so a real download always takes longer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

class NxCmd;

class DownloadEstimate
{
public:
    static constexpr uint32_t kBitsPerSecond = 57600;
    static constexpr uint32_t kBitsPerByte = 10; // start bit, 8 data bits, stop bit
    // The shortest reply: start byte, length, command, channel, access, checksum.
    static constexpr size_t kEmptyFrame = 7;

    // One exchange: request as built (it is encoded here: build it again
    // before sending it) and a reply carrying at least replyPayload bytes.
    void AddExchange(NxCmd& request, size_t replyPayload);
    // The same exchange count times over (pages of one size and kind).
    void AddExchanges(uint64_t count, uint64_t requestBytes, size_t replyPayload);
    void AddPause(uint64_t ms) { PauseMs += ms; }
    DownloadEstimate& operator+=(const DownloadEstimate& other);

    // Time of all bytes on the wire, in ms.
    double WireMs() const;
    // Wire time and pauses, rounded down to whole ms.
    uint64_t LeastMs() const;

    uint64_t Exchanges = 0;
    uint64_t RequestBytes = 0; // stuffing included
    uint64_t ReplyBytes = 0;   // the least the replies take
    uint64_t PauseMs = 0;
};

// A least time for people: "450 ms" below a second, "9.4 s" below ten, "42 s", "3 min 05 s",
// "1 h 02 min"; always rounded down, as it is a lower bound.
std::string FormatLeastTime(uint64_t ms);
