// One attached controller: its bridge identity, its link, and the components
// found on its channels.
#pragma once

#include "NxCom/NxCom.h"
#include "NxException.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

// Identity of one bridge; two descriptors name the same bridge when all three fields match.
class TNxDevDesc
{
public:
    TNxDevDesc(uint32_t pid, uint32_t vid, std::string serial)
        : m_Pid(pid), m_Vid(vid), m_Serial(std::move(serial))
    {
    }
    virtual ~TNxDevDesc() = default;

    uint32_t GetPid() const { return m_Pid; }
    uint32_t GetVid() const { return m_Vid; }
    const std::string& GetSerial() const { return m_Serial; }
    bool SameBridge(uint32_t pid, uint32_t vid, const std::string& serial) const
    {
        return m_Pid == pid && m_Vid == vid && m_Serial == serial;
    }

protected:
    uint32_t m_Pid;
    uint32_t m_Vid;
    std::string m_Serial;
};

// Sees the exchanges of one device while it is set: the service record
// learns what an action read and whether it sent anything that changes the
// device, without adding a command of its own.
class INxExchangeTap
{
public:
    virtual ~INxExchangeTap() = default;
    // cmd's request is about to be sent.
    virtual void OnRequest(const NxCmd& cmd) = 0;
    // cmd holds the reply now; ok as Execute returns it.
    virtual void OnReply(const NxCmd& cmd, bool ok) = 0;
};

class TNxDev : public TNxDevDesc
{
public:
    // One probed channel; element k of the channel list is channel k + 1.
    struct NxChannelInfo
    {
        int Identifier = 0;          // component identifier byte
        uint16_t CapabilityFlag = 0; // bit 0: firmware can be downloaded
        std::string Reserved1, Reserved2, Reserved3;
        std::string SerialNumber; // "133..."/"142...": filter counter can be reset
    };

    explicit TNxDev(int devIndex);
    ~TNxDev() override = default;
    TNxDev(const TNxDev&) = delete;
    TNxDev& operator=(const TNxDev&) = delete;

    // Opens the link and reads the bridge's identity; the first failing
    // status. A bridge that cannot be opened says why in problem (if given).
    NxStatus Open(Bridge::OpenProblem* problem = nullptr);
    // One exchange (NxCom::Execute). While the device is read-only, a command
    // that is not a read (IsReadCommand, NxCmdTable.h) fails unsent with the message
    // "not sent: a dry run changes nothing".
    bool Execute(NxCmd& cmd, uint32_t timeoutMs);
    // Execute for a command that must succeed: a failed exchange raises
    // NxException "'%s' failed: %s" with the command's name and error message.
    void ExecuteOrThrow(NxCmd& cmd, uint32_t timeoutMs);
    // The last command failed because the bridge's port is gone.
    bool PortLost() const { return m_pCom->PortLost(); }
    // Probes channels 1, 2, ... until one does not answer; reads each component.
    const std::vector<NxChannelInfo>& ProbeChannels();
    // A dry run sets this for its whole length, so that no path of the
    // download it shares can change the device.
    void SetReadOnly(bool on) { m_bReadOnly = on; }
    bool IsReadOnly() const { return m_bReadOnly; }
    // The tap that sees every exchange sent from now on; null for none.
    void SetTap(INxExchangeTap* tap) { m_pTap = tap; }
    INxExchangeTap* Tap() const { return m_pTap; }

    const std::string& GetName() const { return m_Name; }
    // The controller ran its bootloader when the device was created (the
    // device list's status check); not read again afterwards.
    bool FoundInBootloader() const { return m_bFoundInBootloader; }
    void SetFoundInBootloader(bool bootloader) { m_bFoundInBootloader = bootloader; }
    const std::vector<NxChannelInfo>& GetChannels() const { return m_Channels; }
    int GetDevIndex() const { return m_nDevIndex; }
    NxCom& Link() { return *m_pCom; }

    static constexpr int kMaxChannel = 255;

private:
    NxChannelInfo ReadComponent(uint8_t channel);

    std::unique_ptr<NxCom> m_pCom;
    int m_nDevIndex;
    std::string m_Name;
    std::vector<NxChannelInfo> m_Channels;
    bool m_bReadOnly = false;
    bool m_bFoundInBootloader = false;
    INxExchangeTap* m_pTap = nullptr;
};

// Said after a failure when the bridge's port is gone: the device keeps its
// dead link until the bridge is seen unplugged.
constexpr const char* kBridgeDisconnected =
    "The bridge was disconnected: unplug it for two seconds and plug it in again.";
// Runs an operation on dev whose failures the user sees; a failure because
// the port is gone carries kBridgeDisconnected on a line of its own (once)
// and is marked NxFailure::BridgeDisconnected.
template <class F> auto WithBridgeHint(TNxDev& dev, F operation) -> decltype(operation())
{
    try {
        return operation();
    } catch (const NxException& e) {
        if (!dev.PortLost() || e.Is(NxFailure::BridgeDisconnected))
            throw;
        throw NxException(std::string(e.what()) + "\n" + kBridgeDisconnected, e.Detail())
            .MarkAll(e.Kinds())
            .Mark(NxFailure::BridgeDisconnected);
    }
}

// "Channel #%d (%04X|%02X[|serial])": the label of channel number ch in the tree.
std::string ChannelLabel(int ch, const TNxDev::NxChannelInfo& info);
// Firmware can be downloaded into the component (capability bit 0).
inline bool CanDownload(const TNxDev::NxChannelInfo& info)
{
    return (info.CapabilityFlag & 1) != 0;
}
// The component's filter-change counter may be reset (serial number 133... or 142...).
bool CanResetFilter(const TNxDev::NxChannelInfo& info);
