// Our replacement for the bridge maker's USB library: exactly the operations
// the serial port relies on, with the library's status codes. Backends: the
// real serial ports (SerialBridge) and the in-process simulation (SimBridge).
#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace Bridge {

using Status = int32_t;

// Status codes as the bridge library reports them.
enum : Status
{
    kSuccess = 0,
    kInvalidHandle = 1,
    kReadError = 2,
    kRxQueueNotReady = 3,
    kWriteError = 4,
    kResetError = 5,
    kInvalidParameter = 6,
    kInvalidRequestLength = 7,
    kDeviceIoFailed = 8,
    kInvalidBaudrate = 9,
    kFunctionNotSupported = 10,
    kGlobalDataError = 11,
    kSystemErrorCode = 12,
    kReadTimedOut = 13,
    kWriteTimedOut = 14,
    kIoPending = 15,
    kDeviceNotFound = 255,
};

// Selectors of the product-string query.
enum Selector : int
{
    kSerialNumber = 0,
    kDescription = 1,
    kVendorId = 3,
    kProductId = 4,
};

// One opened bridge. Destroying it without Close closes it.
class IPort
{
public:
    virtual ~IPort() = default;
    virtual Status Close() = 0;
    // Reads up to count bytes; returns after at most the read timeout with
    // kReadTimedOut when fewer arrived. got holds what did arrive.
    virtual Status Read(uint8_t* buf, uint32_t count, uint32_t& got) = 0;
    // Writes up to count bytes; written holds how many were taken. Returns
    // kWriteTimedOut when not all were taken within the write timeout.
    virtual Status Write(const uint8_t* buf, uint32_t count, uint32_t& written) = 0;
    virtual Status SetBaudRate(uint32_t baud) = 0;
    // Discards the transmit and/or receive buffers.
    virtual Status Flush(bool tx, bool rx) = 0;
};

// Why an Open failed, for the user; it never changes the status Open returns.
struct OpenProblem
{
    // One line that names the cause and the fix (no permission, port held by
    // another program); empty when the cause is unknown.
    std::string Text;
    // Another program holds the bridge: a caller that updates several
    // bridges reports it as busy.
    bool Busy = false;
};

class IBridgeLib
{
public:
    virtual ~IBridgeLib() = default;
    virtual Status GetNumDevices(uint32_t& count) = 0;
    // Identity text of an enumerated bridge (see Selector).
    virtual Status GetProductString(uint32_t index, std::string& out, int selector) = 0;
    // On failure, problem (if given) says why, as far as the backend knows.
    virtual Status Open(uint32_t index, std::unique_ptr<IPort>& port,
                        OpenProblem* problem = nullptr) = 0;
    // Process-wide: they hold for every open port. A timeout of 0 means
    // "do not wait" (take what is there), never "wait for ever".
    virtual Status SetTimeouts(uint32_t readMs, uint32_t writeMs) = 0;
    virtual uint32_t ReadTimeout() const = 0;
    virtual uint32_t WriteTimeout() const = 0;
    // The name the user knows an enumerated bridge by (a device path), for
    // reports; empty when the backend has none.
    virtual std::string PortName(uint32_t /*index*/) const { return {}; }
};

// The process-wide backend; nullptr restores the default (serial ports).
IBridgeLib& Lib();
void SetLib(IBridgeLib* lib);

} // namespace Bridge
