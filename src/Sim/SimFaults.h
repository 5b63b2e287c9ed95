// Faults a simulated controller can be told to inject, for tests of the
// host's retry, timeout and error paths.
#pragma once

#include <cstdint>
#include <iterator>
#include <vector>

namespace Sim {

enum class SimFaultKind
{
    NoReply,     // the request is lost (or, with Execute, only its reply)
    BadChecksum, // the request is carried out; the reply's checksum is off by one
    Reject,      // the request is refused with ErrorByte
    Garbage,     // these bytes are sent instead of any reply
    Unplug,      // the bridge unplugs itself on receiving the request
    Late,        // the request is carried out; its reply arrives DelayMs late
};

// A fault fires on the matching requests number From .. From + Count - 1
// (counted from 1, per fault); Count 0 means every match from From on. So
// From = k, Count = 1 hits the k-th occurrence and From = 1, Count = k the
// first k. A match field of -1 matches anything.
struct SimFault
{
    SimFaultKind Kind = SimFaultKind::NoReply;
    int Cmd = -1;
    int Channel = -1;
    int Access = -1;
    int Sub = -1; // sub-command of a relayed request
    unsigned From = 1;
    unsigned Count = 1;
    bool Execute = false;     // NoReply only: carry the request out, lose only the reply
    uint8_t ErrorByte = 0x7F; // Reject only
    static constexpr uint8_t kDefaultGarbage[] = {0x55, 0xAA, 0x00, 0x12, 0x34};
    std::vector<uint8_t> Garbage{std::begin(kDefaultGarbage), std::end(kDefaultGarbage)};
    // Late only; 0: 100 ms after the host's read timeout, so the reply lands
    // in whatever the host does next.
    uint32_t DelayMs = 0;

    unsigned Seen = 0; // matches counted so far
};

} // namespace Sim
