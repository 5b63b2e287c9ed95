// Arbitrary text into the communication-log reader: it either reads the log
// within its bounds or raises NxException; nothing else may happen. A log
// that reads is then played back to its own requests, every third one with
// a byte changed, strictly or leniently.
#include "NxClock.h"
#include "NxException.h"
#include "Sim/SimReplayDevice.h"

#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    Sim::SimComLog log;
    try {
        log = Sim::ParseComLog(std::string_view(reinterpret_cast<const char*>(data), size), "fuzz");
    } catch (const NxException&) {
        return 0;
    }
    unsigned number = 0;
    for (const Sim::SimLogExchange& e : log.Exchanges) {
        if (e.Number != ++number || e.Request.size() > Sim::kMaxLoggedRequest ||
            e.Reply.size() > Sim::kMaxLoggedReply || e.ReplyDelayMs > e.TimeoutMs ||
            (!e.RequestKnown && !e.Request.empty()))
            __builtin_trap();
    }

    VirtualClock clock;
    ScopedClock useClock(clock);
    Bridge::SimDevice dev("replay-0", "Replay");
    std::vector<std::vector<uint8_t>> requests;
    for (size_t i = 0; i < log.Exchanges.size() && i < 64; ++i) {
        requests.push_back(log.Exchanges[i].Request);
        if (i % 3 == 2 && !requests.back().empty())
            requests.back().back() ^= 0x01;
    }
    Sim::SimReplayDevice replay(std::move(log), "replay-0",
                                {(size % 2) == 1, true, [](const std::string&) {}});
    replay.Attach(dev);
    for (const auto& r : requests) {
        replay.OnFlush(dev);
        replay.OnHostWrite(dev, r.data(), r.size());
    }
    if (replay.Next() > replay.Log().Exchanges.size() ||
        dev.Pending() > requests.size() * Sim::kMaxLoggedReply)
        __builtin_trap();
    return 0;
}
