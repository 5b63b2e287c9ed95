// Arbitrary text into the communication-log reader: it either reads the log
// within its bounds or raises NxException; nothing else may happen.
#include "NxException.h"
#include "Sim/SimComLog.h"

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
    return 0;
}
