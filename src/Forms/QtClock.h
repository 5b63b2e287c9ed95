// The desktop program's clock: pauses and a port's waits for bytes keep the
// window alive by processing events until the time has passed or the bytes
// are there; time values are real.
#pragma once

#include "NxClock.h"

class QtClock : public INxClock
{
public:
    // Without an application object (before start-up created it) it sleeps.
    void SleepMs(uint32_t ms) override;
    uint64_t NowMs() override;
    uint64_t NowNs() override { return m_Real.NowNs(); }
    NxLocalTime LocalTime() override;
    // Outside the user-interface thread it polls plainly.
    int PollFd(pollfd& fd, int timeoutMs) override;

private:
    RealClock m_Real;
};
