// The least time a download takes: its frames on the wire at the line's bit
// rate and the fixed pauses of its sequence. The device's own processing time
// is not known, so a real download always takes longer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

class TNxDev;
namespace Sim {
class SimController;
}

class DownloadEstimate
{
public:
    static constexpr uint32_t kBitsPerSecond = 57600;
    static constexpr uint32_t kBitsPerByte = 10; // start bit, 8 data bits, stop bit
    // The shortest reply: start byte, length, command, channel, access, checksum.
    static constexpr size_t kEmptyFrame = 7;

    // count exchanges of requestBytes each, replies of replyPayload bytes.
    void AddExchanges(uint64_t count, uint64_t requestBytes, size_t replyPayload);
    void AddPause(uint64_t ms) { PauseMs += ms; }
    DownloadEstimate& operator+=(const DownloadEstimate& other);

    // Time of all bytes on the wire, in ms.
    double WireMs() const;
    // Wire time and pauses, rounded down to whole ms.
    uint64_t LeastMs() const;

    uint64_t Exchanges = 0;
    uint64_t RequestBytes = 0; // stuffing included
    uint64_t ReplyBytes = 0;   // what the simulated device answered
    uint64_t PauseMs = 0;
};

// A least time for people: "450 ms" below a second, "9.4 s" below ten, "42 s", "3 min 05 s",
// "1 h 02 min"; always rounded down, as it is a lower bound.
std::string FormatLeastTime(uint64_t ms);

// The estimate of a sequence, taken from the sequence itself: run gets a
// device whose bridge is a simulated controller (set up by setup) answering
// at once, on a virtual clock, while the process-wide backend, clock and
// communication log are set aside; counted are the frames both ways and the
// pauses. Whatever run raises passes on.
DownloadEstimate MeasureOnSimulator(const std::function<void(Sim::SimController&)>& setup,
                                    const std::function<void(TNxDev&)>& run);
