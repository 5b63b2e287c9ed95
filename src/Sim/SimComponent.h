// A component on one channel of a simulated controller. The controller relays
// command 143 to it; it answers the relayed sub-commands from its fields and
// records what a download writes into it.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace Sim {

// Error bytes of the simulated controllers and components.
enum SimError : uint8_t
{
    kSimErrUnknownCommand = 0x01, // command number, access or sub-command not known
    kSimErrWrongState = 0x02,     // not taken in the present bootloader/application state
    kSimErrBadRequest = 0x03,     // payload length or argument not valid
    kSimErrChecksum = 0x04,       // image checksum differs from the flash contents
};

// What a component (or the controller) makes of one request.
struct SimAnswer
{
    bool Rejected = false;
    uint8_t Error = 0;          // when rejected
    std::vector<uint8_t> Value; // when accepted: the value bytes
    static SimAnswer Ok(std::vector<uint8_t> v = {}) { return {false, 0, std::move(v)}; }
    static SimAnswer Reject(uint8_t e) { return {true, e, {}}; }
};

class SimComponent
{
public:
    // Identity. An empty text reads as an erased field (0xFF).
    uint8_t Identifier = 0;
    uint16_t Capability = 0; // bit 0: firmware can be downloaded
    std::string AppName, AppVersion, AppDate;
    std::string HwVersion, BlName, BlVersion, BlDate;
    std::string SerialNumber;

    bool Bootloader = false;  // status word bit 15
    uint16_t StatusExtra = 0; // further status bits reported as they are (bit 15 ignored)

    // Counters in tenths of an hour.
    uint32_t Runtime = 0;
    uint32_t LastFilterChange = 0;
    uint16_t FilterInterval = 0;

    // Behaviour.
    bool Silent = false;           // the channel answers probes, the component nothing
    unsigned SilentStatus = 0;     // status requests still to be ignored
    bool IgnoreModeChange = false; // enter bootloader/application is acknowledged but ignored

    // What downloads did.
    std::map<uint16_t, std::vector<uint8_t>> Pages; // page number -> 64 bytes
    unsigned EraseCount = 0;
    unsigned PageWrites = 0; // every accepted page, rewrites included

    // Answers one relayed sub-command with its argument bytes. Reads of the
    // application texts need the application, pages and erase the bootloader.
    SimAnswer Handle(uint8_t sub, const std::vector<uint8_t>& args);

    uint16_t StatusWord() const;
};

} // namespace Sim
