// The desktop program's clock: pauses keep the window alive by processing
// events until the time has passed; time values are real.
#pragma once

#include "NxClock.h"

class QtClock : public INxClock
{
public:
    // Without an application object (before start-up created it) it sleeps.
    void SleepMs(uint32_t ms) override;
    uint64_t NowMs() override;
    NxLocalTime LocalTime() override;

private:
    RealClock m_Real;
};
