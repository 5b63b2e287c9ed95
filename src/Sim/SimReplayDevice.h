// A device that plays back a communication log: the device side of the
// recorded exchanges behind one simulated bridge, so that a field problem
// happens again on the bench.
//
// Each request the host writes is compared with the next recorded one. When
// they are equal the device answers with the recorded reply bytes exactly
// (stuffing, garbage and faults as they were), stays silent where the host's
// read timed out, and makes the bridge fail the write or read that failed in
// the recording. A request that differs is reported with the exchange it
// differs from; then the device answers nothing more or, when lenient, looks
// ahead for the next recorded exchange with this request and goes on there.
// A replay that may restart begins again at the first exchange when the
// log's first request comes after the last exchange or after it stopped:
// the program under test was started again.
//
// Not thread-safe, like SimController: the bridge calls it from the thread
// that writes to the port.
#pragma once

#include "Bridge/SimBridge.h"
#include "Sim/SimComLog.h"
#include "Sim/SimFrame.h"

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace Sim {

struct SimReplayOptions
{
    bool Lenient = false;  // look ahead after a request that differs
    bool WireTime = false; // wait the recorded gap between each request and its reply
    // Gets each report line (without line end); empty: standard error.
    std::function<void(const std::string&)> Report;
    // The gap passes as a late reply (SimDevice::ReplyLater) instead of a
    // sleep, so that a server of several bridges is not held up by one.
    bool LateGaps = false;
    // Start over when the log's first request comes after the last
    // exchange or after a strict replay stopped.
    bool Restart = false;
};

class SimReplayDevice : public Bridge::ISimPeer
{
public:
    // name goes into the reports (the bridge's serial number).
    SimReplayDevice(SimComLog log, std::string name, SimReplayOptions opts);

    // Readies the bridge for the first recorded exchange (which may be a
    // failed write); call once after making this the bridge's peer.
    void Attach(Bridge::SimDevice& dev);

    void OnHostWrite(Bridge::SimDevice& dev, const uint8_t* data, size_t n) override;
    void OnFlush(Bridge::SimDevice& dev) override;

    const SimComLog& Log() const { return m_Log; }
    const std::string& Name() const { return m_Name; }
    // Index of the exchange the next request is compared with.
    size_t Next() const { return m_Pos; }
    // Exchanges played in the present run of the log.
    size_t Answered() const { return m_nAnswered; }
    // Runs of the log: 1, and one more each time it started over.
    size_t Runs() const { return m_nRuns; }
    // Requests that differed from the recorded one, in every run.
    size_t Mismatches() const { return m_nMismatches; }
    // Requests that came after the last exchange and did not start over.
    size_t BeyondEnd() const { return m_nBeyondEnd; }
    bool Diverged() const { return m_nMismatches + m_nBeyondEnd > 0; }
    // The log's length for people: "8 recorded exchanges", and where it was cut.
    std::string Extent() const;
    // Strict replay after a request that differed: nothing is answered any more.
    bool Stopped() const { return m_bStopped; }

private:
    void Serve(Bridge::SimDevice& dev, const std::vector<uint8_t>& request);
    void Answer(Bridge::SimDevice& dev, size_t pos);
    bool Matches(size_t pos, const std::vector<uint8_t>& request) const;
    void ReportMismatch(const SimLogExchange& e, const std::vector<uint8_t>& request);
    std::string Describe(const SimLogExchange& e) const;
    // The log's first request again where the replay has nothing to answer.
    bool StartOver(Bridge::SimDevice& dev, const std::vector<uint8_t>& request);
    // A failed write armed for the next exchange fired: go past it.
    void Settle(Bridge::SimDevice& dev);
    void Arm(Bridge::SimDevice& dev);
    void Say(const std::string& line);

    SimComLog m_Log;
    std::string m_Name;
    SimReplayOptions m_Opts;
    SimFrameParser m_Parser;
    size_t m_Pos = 0;
    size_t m_nAnswered = 0;
    size_t m_nMismatches = 0;
    size_t m_nBeyondEnd = 0;
    size_t m_nRuns = 1;
    bool m_bStopped = false;
    bool m_bPastEndSaid = false;
    bool m_bWriteArmed = false; // the bridge fails the next write for exchange m_Pos
    bool m_bReadArmed = false;  // the bridge fails the next short read
};

// Adds one simulated bridge per log to lib: for a file that log, for a
// folder each of its NxComLog_<n>[-<pid>].txt in order. A bridge has the
// serial number "replay-<n>" (n from the file's name, else its position),
// the description "Replay <file name>" and a CP210x bridge's vendor and
// product. Raises NxException for a log that cannot be read and for a
// folder without logs.
std::vector<std::shared_ptr<SimReplayDevice>>
InstallReplay(Bridge::SimBridgeLib& lib, const std::string& path, const SimReplayOptions& opts);

} // namespace Sim
