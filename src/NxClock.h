// Every pause and every read timeout of the core goes through one replaceable
// clock, so tests run without real waiting and can still assert the waits.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct pollfd;

struct NxLocalTime
{
    int Hour = 0, Minute = 0, Second = 0, Millisecond = 0;
};

class INxClock
{
public:
    virtual ~INxClock() = default;
    // A pause that the protocol demands.
    virtual void SleepMs(uint32_t ms) = 0;
    // Monotonic milliseconds.
    virtual uint64_t NowMs() = 0;
    // Monotonic nanoseconds, for those who must know how long a pause really
    // lasted (a real sleep overruns by the timer's slack; a virtual one never).
    virtual uint64_t NowNs() { return NowMs() * 1'000'000; }
    // Wall-clock time for log time stamps.
    virtual NxLocalTime LocalTime() = 0;
    // A simulated read gave up after its timeout without waiting for real.
    // A real clock lets it pass; a virtual clock records and advances.
    virtual void SimulatedTimeout(uint32_t /*ms*/) {}
    // A simulated read waited this long for bytes that arrived late, without
    // waiting for real. A real clock lets it pass; a virtual clock records and advances.
    virtual void SimulatedWait(uint32_t /*ms*/) {}
    // A real port waits up to timeoutMs for fd's events, with poll()'s result.
    // The desktop program's clock lets its window work meanwhile, as it does
    // during pauses.
    virtual int PollFd(pollfd& fd, int timeoutMs);
};

class RealClock : public INxClock
{
public:
    void SleepMs(uint32_t ms) override;
    uint64_t NowMs() override;
    uint64_t NowNs() override;
    NxLocalTime LocalTime() override;
};

// Advances only when asked to wait and records every wait in order.
class VirtualClock : public INxClock
{
public:
    enum class Kind
    {
        Sleep,
        Timeout,
        Wait // a read that ended when late bytes arrived
    };
    struct Event
    {
        Kind What;
        uint32_t Ms;
        bool operator==(const Event&) const = default;
    };

    void SleepMs(uint32_t ms) override
    {
        m_Events.push_back({Kind::Sleep, ms});
        m_Now += ms;
    }
    uint64_t NowMs() override { return m_Now; }
    NxLocalTime LocalTime() override { return m_Time; }
    void SimulatedTimeout(uint32_t ms) override
    {
        m_Events.push_back({Kind::Timeout, ms});
        m_Now += ms;
    }
    void SimulatedWait(uint32_t ms) override
    {
        m_Events.push_back({Kind::Wait, ms});
        m_Now += ms;
    }

    void SetLocalTime(NxLocalTime t) { m_Time = t; }
    const std::vector<Event>& Events() const { return m_Events; }
    std::vector<uint32_t> Sleeps() const;
    std::vector<uint32_t> Timeouts() const;
    void Clear() { m_Events.clear(); }

private:
    uint64_t m_Now = 0;
    NxLocalTime m_Time{12, 34, 56, 789};
    std::vector<Event> m_Events;
};

// The process-wide clock; nullptr restores the real one.
INxClock& NxClock();
void SetNxClock(INxClock* clock);

inline void NxSleep(uint32_t ms)
{
    NxClock().SleepMs(ms);
}

// Installs a clock for one scope (tests).
class ScopedClock
{
public:
    explicit ScopedClock(INxClock& clock) { SetNxClock(&clock); }
    ~ScopedClock() { SetNxClock(nullptr); }
    ScopedClock(const ScopedClock&) = delete;
    ScopedClock& operator=(const ScopedClock&) = delete;
};
