// The real backend: USB serial ports of the bridge maker (vendor 0x10C4) found
// with libserialport, then the paths listed in NXUPDATE_PORTS (':'-separated)
// that exist. All ports are driven through one POSIX termios code path
// (SerialPort), so a pseudo-terminal exercises the same I/O as a bridge.
#pragma once

#include "Bridge/BridgeLib.h"

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace Bridge {

// Contract of this backend:
// - GetNumDevices enumerates anew and always succeeds (a system without USB
//   enumeration just has no USB ports). Indexes given to GetProductString and
//   Open refer to the list of the last GetNumDevices; an index beyond it gives
//   kDeviceNotFound.
// - Product strings: USB port: serial number, USB product string, vendor and
//   product identifier as four upper-case hex digits. Listed port that is not
//   a USB device: the path as given, "Serial port", "0000", "0000".
//   Selectors other than 0, 1, 3, 4 give kInvalidParameter.
// - Open: exclusive, raw 8N1 without flow control; a port in use gives
//   kDeviceIoFailed. A port refused for lack of permission or because another
//   program holds it also gives kDeviceIoFailed, and the problem then names
//   the cause, the port's path and the fix.
// - Timeouts hold for every port of this backend, also ports already open.
//   A timeout of 0 means "do not wait" (a read takes only what has already
//   arrived), never "wait forever". Both start at 0.
// - A vanished port gives kDeviceIoFailed (or kInvalidHandle), never a crash.
class SerialBridgeLib : public IBridgeLib
{
public:
    SerialBridgeLib();
    ~SerialBridgeLib() override;

    Status GetNumDevices(uint32_t& count) override;
    Status GetProductString(uint32_t index, std::string& out, int selector) override;
    Status Open(uint32_t index, std::unique_ptr<IPort>& port,
                OpenProblem* problem = nullptr) override;
    Status SetTimeouts(uint32_t readMs, uint32_t writeMs) override;
    uint32_t ReadTimeout() const override { return m_pTimeouts->ReadMs; }
    uint32_t WriteTimeout() const override { return m_pTimeouts->WriteMs; }
    // The port's path as enumerated.
    std::string PortName(uint32_t index) const override;

    struct PortInfo
    {
        std::string Path;
        std::string Serial, Description, VidText, PidText;
    };

    // Shared with open ports, so a port may outlive the backend object.
    struct Timeouts
    {
        std::atomic<uint32_t> ReadMs{0}, WriteMs{0};
    };

    static constexpr const char* kPortsVariable = "NXUPDATE_PORTS";
    static constexpr int kBridgeVendorId = 0x10C4;

private:
    // Re-enumerates; the list holds until the next GetNumDevices.
    void Enumerate();
    mutable std::mutex m_Lock;
    bool m_bEnumerated = false;
    std::vector<PortInfo> m_Ports;
    std::shared_ptr<Timeouts> m_pTimeouts;
};

} // namespace Bridge
