// One direction of a serial line at its bit rate, ten bits a byte (start
// bit, eight data bits, stop bit): when bytes that enter it have come out at
// the other end. Times are microseconds of a monotonic clock.
//
// The line keeps the start of the burst it is sending and the bytes sent
// since, and rounds only the burst's end: a frame takes exactly its bytes'
// time however it was cut into reads or slices, and no rounding adds up
// over a download.
#pragma once

#include <cstddef>
#include <cstdint>

namespace Sim {

class SimLine
{
public:
    explicit SimLine(uint32_t bitsPerSecond = 57600) : m_BitsPerSecond(bitsPerSecond) {}

    // n bytes enter the line at atUs, behind those still on it: when the
    // last of them is through. A line that went idle before atUs starts a
    // new burst there.
    uint64_t Send(size_t n, uint64_t atUs);
    // When the last byte sent so far is through.
    uint64_t IdleAt() const { return m_BurstUs + TimeUs(m_nBurstBytes); }
    // Line time of n bytes, rounded up to whole microseconds.
    uint64_t TimeUs(uint64_t n) const;

private:
    uint32_t m_BitsPerSecond;
    uint64_t m_BurstUs = 0;
    uint64_t m_nBurstBytes = 0;
};

} // namespace Sim
