#include "NxClock.h"

#include <chrono>
#include <ctime>
#include <poll.h>
#include <thread>

int INxClock::PollFd(pollfd& fd, int timeoutMs)
{
    return ::poll(&fd, 1, timeoutMs);
}

void RealClock::SleepMs(uint32_t ms)
{
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

uint64_t RealClock::NowMs()
{
    using namespace std::chrono;
    return static_cast<uint64_t>(
        duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

uint64_t RealClock::NowNs()
{
    using namespace std::chrono;
    return static_cast<uint64_t>(
        duration_cast<nanoseconds>(steady_clock::now().time_since_epoch()).count());
}

NxLocalTime RealClock::LocalTime()
{
    using namespace std::chrono;
    const auto now = system_clock::now();
    const std::time_t t = system_clock::to_time_t(now);
    std::tm tm{};
    localtime_r(&t, &tm);
    const auto ms = duration_cast<milliseconds>(now.time_since_epoch()).count() % 1000;
    return {tm.tm_hour, tm.tm_min, tm.tm_sec, static_cast<int>(ms)};
}

std::vector<uint32_t> VirtualClock::Sleeps() const
{
    std::vector<uint32_t> out;
    for (const Event& e : m_Events)
        if (e.What == Kind::Sleep)
            out.push_back(e.Ms);
    return out;
}

std::vector<uint32_t> VirtualClock::Timeouts() const
{
    std::vector<uint32_t> out;
    for (const Event& e : m_Events)
        if (e.What == Kind::Timeout)
            out.push_back(e.Ms);
    return out;
}

static RealClock g_RealClock;
static INxClock* g_pClock = &g_RealClock;

INxClock& NxClock()
{
    return *g_pClock;
}

void SetNxClock(INxClock* clock)
{
    g_pClock = clock ? clock : &g_RealClock;
}
