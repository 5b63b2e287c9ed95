#include "DownloadEstimate.h"

#include "../NxCom/NxCmd.h"
#include "../NxException.h"

void DownloadEstimate::AddExchange(NxCmd& request, size_t replyPayload)
{
    request.Encode();
    AddExchanges(1, request.GetFrameLength(), replyPayload);
}

void DownloadEstimate::AddExchanges(uint64_t count, uint64_t requestBytes, size_t replyPayload)
{
    Exchanges += count;
    RequestBytes += count * requestBytes;
    ReplyBytes += count * (kEmptyFrame + replyPayload);
}

DownloadEstimate& DownloadEstimate::operator+=(const DownloadEstimate& other)
{
    Exchanges += other.Exchanges;
    RequestBytes += other.RequestBytes;
    ReplyBytes += other.ReplyBytes;
    PauseMs += other.PauseMs;
    return *this;
}

double DownloadEstimate::WireMs() const
{
    return static_cast<double>(RequestBytes + ReplyBytes) * kBitsPerByte * 1000.0 / kBitsPerSecond;
}

uint64_t DownloadEstimate::LeastMs() const
{
    return static_cast<uint64_t>(WireMs()) + PauseMs;
}

std::string FormatLeastTime(uint64_t ms)
{
    if (ms < 1000)
        return StrFormat("%u ms", static_cast<unsigned>(ms));
    if (ms < 10000)
        return StrFormat("%u.%u s", static_cast<unsigned>(ms / 1000),
                         static_cast<unsigned>(ms % 1000 / 100));
    const uint64_t s = ms / 1000;
    if (s < 60)
        return StrFormat("%u s", static_cast<unsigned>(s));
    if (s < 3600)
        return StrFormat("%u min %02u s", static_cast<unsigned>(s / 60),
                         static_cast<unsigned>(s % 60));
    return StrFormat("%u h %02u min", static_cast<unsigned>(s / 3600),
                     static_cast<unsigned>(s % 3600 / 60));
}
