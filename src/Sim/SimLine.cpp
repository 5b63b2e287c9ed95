#include "Sim/SimLine.h"

namespace Sim {

uint64_t SimLine::TimeUs(uint64_t n) const
{
    constexpr uint64_t kBitsPerByte = 10;
    const uint64_t bitUs = n * kBitsPerByte * 1'000'000;
    return (bitUs + m_BitsPerSecond - 1) / m_BitsPerSecond;
}

uint64_t SimLine::Send(size_t n, uint64_t atUs)
{
    if (atUs >= IdleAt()) {
        m_BurstUs = atUs;
        m_nBurstBytes = 0;
    }
    m_nBurstBytes += n;
    return IdleAt();
}

} // namespace Sim
