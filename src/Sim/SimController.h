// A simulated controller: the device side of the protocol behind one
// simulated bridge. It parses the host's stuffed frames, drops frames with a
// bad checksum without answering (as a real device does), carries out the
// commands in its application or bootloader state, relays command 143 to the
// components on its channels and answers with correctly stuffed frames.
//
// A reply echoes the request's channel and access bytes; its command-number
// byte is the request's on success, or 0 with an error byte (SimError) as the
// first payload byte for a rejection. A request for an absent channel or a
// silent component gets no reply at all.
//
// Not thread-safe: the bridge calls it from the thread that writes to the
// port, and tests inspect it from that same thread between exchanges.
#pragma once

#include "Bridge/SimBridge.h"
#include "Sim/SimComponent.h"
#include "Sim/SimFaults.h"
#include "Sim/SimFrame.h"

#include <map>
#include <string>
#include <vector>

namespace Sim {

// Address of the image checksum block and of the application name in the image.
constexpr uint32_t kChecksumAddress = 0xC1FF80;
constexpr uint32_t kAppNameAddress = 0xC08000;

// One received, well-formed request.
struct SimLogEntry
{
    uint8_t Cmd = 0;
    uint8_t Channel = 0;
    uint8_t Access = 0;
    int Sub = -1; // relayed sub-command, -1 for other commands
    std::vector<uint8_t> Payload;
};

// A parameter-table record as written by command 138 or 139.
struct SimTableRecord
{
    uint8_t Cmd = 0;
    uint8_t Channel = 0;
    std::vector<uint8_t> Payload;
};

class SimController : public Bridge::ISimPeer
{
public:
    // Identity and state, set by a scenario or a test.
    bool Bootloader = false; // "DeviceStatus" bit 7
    std::string HwName, HwVersion, BlName, BlVersion, BlDate;
    std::string AppName, AppVersion, AppDate;
    std::string TblName, TblVersion, TblDate;
    bool IgnoreResets = false;                // resets are acknowledged but change nothing
    bool StayWithoutImage = false;            // an erased flash without accepted checksum keeps the
                                              // bootloader running after "ResetToApplication"
    std::map<uint8_t, SimComponent> Channels; // present channels by number (1..255)
    // Off: flash pages are summed but not kept, so a 16 MiB image costs no
    // memory; Flash() stays empty and "GetAppName" answers AppName.
    bool KeepFlash = true;

    // The bridge side.
    void OnHostWrite(Bridge::SimDevice& dev, const uint8_t* data, size_t n) override;
    void OnFlush(Bridge::SimDevice& dev) override;

    // Control interface for tests.
    void AddFault(const SimFault& f) { m_Faults.push_back(f); }
    void ClearFaults() { m_Faults.clear(); }
    const std::vector<SimFault>& Faults() const { return m_Faults; }
    SimComponent* Channel(uint8_t ch);
    const SimComponent* Channel(uint8_t ch) const;
    // Power comes back after a loss: without a checked image a controller
    // that StaysWithoutImage starts its bootloader, else its application; a
    // frame half received is lost.
    void PowerUp();

    // What the host did.
    const std::vector<SimLogEntry>& Log() const { return m_Log; }
    void ClearLog() { m_Log.clear(); }
    size_t BadFrames() const { return m_Parser.BadFrames(); }
    size_t StrayBytes() const { return m_Parser.StrayBytes(); }
    // Requests in the log with this command (and sub-command, when >= 0).
    size_t CountOf(int cmd, int sub = -1) const;

    // Flash: a sparse byte map, emptied by "ProgEraseFlash". A block written
    // again replaces its earlier bytes, so a retried page counts once in the sum.
    const std::map<uint32_t, uint8_t>& Flash() const { return m_Flash; }
    std::vector<uint8_t> FlashBytes(uint32_t address, size_t n, uint8_t fill = 0xFF) const;
    // Sum of the 16-bit little-endian words of the flash contents (even
    // addresses low byte), as "ProgCheckSum" expects it.
    uint32_t FlashSum() const;
    unsigned EraseCount() const { return m_nErase; }
    unsigned PageWrites() const { return m_nPageWrites; }
    bool ImageValid() const { return m_bImageValid; } // checksum accepted since the erase
    uint32_t LastChecksum() const { return m_LastChecksum; }

    // "GetAppName": the zero-terminated text at kAppNameAddress of the flash
    // when the flash holds a byte there (a downloaded image), else AppName.
    std::string CurrentAppName() const;

    const std::vector<SimTableRecord>& TableRecords() const { return m_Tables; }
    void ClearTables() { m_Tables.clear(); }

private:
    void HandleFrame(Bridge::SimDevice& dev, const SimFrame& req);
    SimAnswer Execute(const SimFrame& req, bool& silent);
    SimAnswer ControllerCommand(const SimFrame& req);
    SimAnswer Relay(const SimFrame& req, bool& silent);
    SimAnswer FlashPage(const std::vector<uint8_t>& p);
    SimFault* MatchFault(const SimFrame& req, int sub);

    SimFrameParser m_Parser;
    std::vector<SimFault> m_Faults;
    std::vector<SimLogEntry> m_Log;
    std::map<uint32_t, uint8_t> m_Flash;
    std::vector<SimTableRecord> m_Tables;
    unsigned m_nErase = 0, m_nPageWrites = 0;
    bool m_bImageValid = true; // the image a scenario starts with counts as valid
    uint32_t m_LastChecksum = 0;
    uint32_t m_PageSum = 0; // the pages' words since the erase, without KeepFlash
};

} // namespace Sim
