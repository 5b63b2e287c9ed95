#include "Sim/SimReplayDevice.h"

#include "NxClock.h"
#include "NxException.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>

namespace Sim {

namespace {

// Bytes for a report: hex, the first 64 of them.
std::string Hex(const std::vector<uint8_t>& bytes)
{
    constexpr size_t kShown = 64;
    std::string out;
    for (size_t i = 0; i < bytes.size() && i < kShown; ++i)
        out += StrFormat(i ? " %02X" : "%02X", static_cast<unsigned>(bytes[i]));
    if (bytes.size() > kShown)
        out += StrFormat(" ... (%zu bytes)", bytes.size());
    return out.empty() ? "(none)" : out;
}

// One side of a difference at byte at: the 16 bytes before it and up to 48
// after it, with where they lie when that is not the whole request.
std::string Window(const char* side, const std::vector<uint8_t>& bytes, size_t at)
{
    constexpr size_t kBefore = 16, kAfter = 48;
    const size_t from = std::min(at > kBefore ? at - kBefore : 0, bytes.size());
    const size_t to = std::min(bytes.size(), at + 1 + kAfter);
    std::string hex;
    for (size_t i = from; i < to; ++i)
        hex += StrFormat(i > from ? " %02X" : "%02X", static_cast<unsigned>(bytes[i]));
    if (from == 0 && to == bytes.size())
        return StrFormat("  %s: %s", side, hex.empty() ? "(none)" : hex.c_str());
    return StrFormat("  %s, bytes %zu to %zu of %zu: %s", side, from, to - 1, bytes.size(),
                     hex.c_str());
}

std::string FileName(const std::string& path)
{
    return std::filesystem::path(path).filename().string();
}

} // namespace

SimReplayDevice::SimReplayDevice(SimComLog log, std::string name, SimReplayOptions opts)
    : m_Log(std::move(log)), m_Name(std::move(name)), m_Opts(std::move(opts))
{
}

void SimReplayDevice::Attach(Bridge::SimDevice& dev)
{
    Arm(dev);
}

void SimReplayDevice::OnHostWrite(Bridge::SimDevice& dev, const uint8_t* data, size_t n)
{
    Settle(dev);
    std::vector<SimFrame> frames;
    std::vector<std::vector<uint8_t>> wires;
    m_Parser.Feed(data, n, frames, &wires);
    for (const auto& request : wires)
        Serve(dev, request);
}

void SimReplayDevice::OnFlush(Bridge::SimDevice& dev)
{
    // Every exchange begins with a flush: what it found half received is lost.
    Settle(dev);
    m_Parser.Reset();
}

void SimReplayDevice::Settle(Bridge::SimDevice& dev)
{
    if (m_bReadArmed) {
        dev.ReadFailures = 0;
        m_bReadArmed = false;
    }
    if (m_bWriteArmed && dev.WriteFailures == 0) {
        m_bWriteArmed = false;
        ++m_Pos;
        ++m_nAnswered;
        Arm(dev);
    }
}

void SimReplayDevice::Arm(Bridge::SimDevice& dev)
{
    if (m_bStopped || m_Pos >= m_Log.Exchanges.size())
        return;
    const SimLogExchange& e = m_Log.Exchanges[m_Pos];
    if (e.WriteStatus == Bridge::kSuccess)
        return;
    // The request never reached the device in the recording; the bridge
    // refuses it again, whatever it is.
    dev.WriteStatus = e.WriteStatus;
    dev.WriteFailures = 1;
    dev.WriteAcceptBeforeFail = 0;
    m_bWriteArmed = true;
}

bool SimReplayDevice::Matches(size_t pos, const std::vector<uint8_t>& request) const
{
    const SimLogExchange& e = m_Log.Exchanges[pos];
    return e.RequestKnown && e.WriteStatus == Bridge::kSuccess && e.Request == request;
}

void SimReplayDevice::Serve(Bridge::SimDevice& dev, const std::vector<uint8_t>& request)
{
    const size_t count = m_Log.Exchanges.size();
    if (m_bStopped || m_Pos >= count) {
        if (StartOver(dev, request) || m_bStopped)
            return;
        ++m_nBeyondEnd;
        if (!m_bPastEndSaid)
            Say(StrFormat("%s: a request after the last of the %s: %s", m_Name.c_str(),
                          Extent().c_str(), Hex(request).c_str()));
        m_bPastEndSaid = true;
        return;
    }
    if (Matches(m_Pos, request)) {
        Answer(dev, m_Pos);
        return;
    }
    ++m_nMismatches;
    ReportMismatch(m_Log.Exchanges[m_Pos], request);
    if (!m_Opts.Lenient) {
        m_bStopped = true;
        Say(m_Name + ": answering nothing from here on");
        return;
    }
    for (size_t k = m_Pos + 1; k < count; ++k) {
        if (Matches(k, request)) {
            Say(StrFormat("%s: going on at %s, the next one with this request", m_Name.c_str(),
                          Describe(m_Log.Exchanges[k]).c_str()));
            Answer(dev, k);
            return;
        }
    }
    Say(m_Name + ": no later exchange has this request; it stays unanswered");
}

bool SimReplayDevice::StartOver(Bridge::SimDevice& dev, const std::vector<uint8_t>& request)
{
    if (!m_Opts.Restart || m_Log.Exchanges.empty() || !Matches(0, request))
        return false;
    ++m_nRuns;
    m_nAnswered = 0;
    m_bStopped = m_bPastEndSaid = false;
    Say(StrFormat("%s: the log's first request again: starting over at exchange 1 (run %zu)",
                  m_Name.c_str(), m_nRuns));
    Answer(dev, 0);
    return true;
}

void SimReplayDevice::Answer(Bridge::SimDevice& dev, size_t pos)
{
    const SimLogExchange& e = m_Log.Exchanges[pos];
    // Silence where the host's read timed out comes by itself: nothing more is queued.
    if (m_Opts.WireTime && e.ReplyDelayMs > 0 && m_Opts.LateGaps) {
        dev.ReplyLater(e.ReplyDelayMs, e.Reply);
    } else {
        if (m_Opts.WireTime && e.ReplyDelayMs > 0)
            NxClock().SleepMs(e.ReplyDelayMs);
        dev.Reply(e.Reply);
    }
    if (e.ReadStatus != Bridge::kSuccess && e.ReadStatus != Bridge::kReadTimedOut) {
        dev.ReadStatus = e.ReadStatus;
        dev.ReadFailures = 1;
        m_bReadArmed = true;
    }
    m_Pos = pos + 1;
    ++m_nAnswered;
    Arm(dev);
}

std::string SimReplayDevice::Describe(const SimLogExchange& e) const
{
    return StrFormat("exchange %u of %zu ('%s' at %s, %s line %d)", e.Number,
                     m_Log.Exchanges.size(), e.CmdName.c_str(), e.Stamp.c_str(),
                     FileName(m_Log.Name).c_str(), e.Line);
}

std::string SimReplayDevice::Extent() const
{
    const size_t n = m_Log.Exchanges.size();
    std::string s = StrFormat("%zu recorded exchange%s", n, n == 1 ? "" : "s");
    if (!m_Log.CutShort.empty() && n > 0)
        s += "; the log is cut short " + m_Log.CutShort + "; its last complete exchange is " +
             Describe(m_Log.Exchanges.back());
    return s;
}

void SimReplayDevice::ReportMismatch(const SimLogExchange& e, const std::vector<uint8_t>& request)
{
    Say(StrFormat("%s: the request differs from %s", m_Name.c_str(), Describe(e).c_str()));
    if (!e.RequestKnown || e.WriteStatus != Bridge::kSuccess) {
        Say("  expected: (not in the log)");
        Say("  received: " + Hex(request));
        return;
    }
    const auto diff =
        std::mismatch(e.Request.begin(), e.Request.end(), request.begin(), request.end());
    const size_t at = static_cast<size_t>(diff.first - e.Request.begin());
    Say(StrFormat("  they differ from byte %zu on", at));
    Say(Window("expected", e.Request, at));
    Say(Window("received", request, at));
}

void SimReplayDevice::Say(const std::string& line)
{
    if (m_Opts.Report)
        m_Opts.Report(line);
    else
        std::fprintf(stderr, "%s\n", line.c_str());
}

std::vector<std::shared_ptr<SimReplayDevice>>
InstallReplay(Bridge::SimBridgeLib& lib, const std::string& path, const SimReplayOptions& opts)
{
    std::error_code ec;
    std::vector<std::string> files;
    if (std::filesystem::is_directory(path, ec)) {
        files = ComLogFilesIn(path);
        if (files.empty())
            ThrowNx("No communication log (NxComLog_<n>.txt) in '%s'", path.c_str());
    } else {
        files.push_back(path);
    }
    // Read every log before the first bridge appears: all or nothing.
    std::vector<SimComLog> logs;
    for (const std::string& f : files)
        logs.push_back(LoadComLog(f));
    std::vector<std::shared_ptr<SimReplayDevice>> out;
    for (size_t i = 0; i < logs.size(); ++i) {
        const std::string file = FileName(files[i]);
        const std::string index = ComLogIndex(file);
        const std::string serial = "replay-" + (index.empty() ? std::to_string(i) : index);
        auto dev = lib.Add(serial, "Replay " + file, 0x10C4, 0xEA60);
        auto peer = std::make_shared<SimReplayDevice>(std::move(logs[i]), serial, opts);
        dev->SetPeer(peer);
        peer->Attach(*dev);
        out.push_back(std::move(peer));
    }
    return out;
}

} // namespace Sim
