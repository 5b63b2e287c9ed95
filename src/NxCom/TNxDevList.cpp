#include "NxCom/TNxDevList.h"

#include "Bridge/BridgeLib.h"
#include "NxCmdSts.h"
#include "NxUi.h"

TNxDevList* TNxDevList::s_pInstance = nullptr;

TNxDevList::IDevEvent::IDevEvent()
{
    if ((m_pList = TNxDevList::Instance()) != nullptr)
        m_pList->m_Listeners.Add(&IDevEvent::Dispatch, this);
}

TNxDevList::IDevEvent::~IDevEvent()
{
    // At the end of the program the list goes first and the pointer is cleared.
    if (m_pList && m_pList == TNxDevList::Instance())
        m_pList->m_Listeners.Remove(&IDevEvent::Dispatch, this);
}

void TNxDevList::IDevEvent::Dispatch(void* ctx, int event, void* arg)
{
    auto* self = static_cast<IDevEvent*>(ctx);
    if (event == kDevAdded)
        self->OnDevAdded(static_cast<TNxDev*>(arg));
    else if (event == kDevRemoved)
        self->OnDevRemoved(static_cast<const char*>(arg));
}

TNxDevList::~TNxDevList()
{
    if (s_pInstance == this)
        s_pInstance = nullptr;
}

static void Warn(const std::string& text)
{
    NxMessages().ShowMessage(text, TNxDevList::kCaption, INxMessageSink::Icon::Warning);
}

bool TNxDevList::Update()
{
    if (Lock.IsHeld())
        return false;
    ScopedSect lock(Lock);
    m_OpenErrors.clear();
    m_Unanswered.clear();

    std::vector<SBridgeInfo> bridges;
    const NxStatus st = EnumerateBridges(bridges);
    if (st != 0 && st != Bridge::kDeviceNotFound) {
        Warn(std::string("GetNumDevices failed: ") + CP2102Com::StatusText(st));
        return true;
    }

    std::vector<TNxDevDesc> found;
    found.reserve(bridges.size());
    for (const SBridgeInfo& b : bridges) {
        TNxDevDesc desc(b.Pid, b.Vid, b.Serial);
        if (!FindDev(b.Pid, b.Vid, b.Serial) && (!m_Filter || m_Filter(b.Serial))) {
            if (TNxDev* dev = CreateDev(desc, b.Index))
                Notify(kDevAdded, dev);
        }
        found.push_back(std::move(desc));
    }

    for (size_t pos = m_Devs.size(); pos-- > 0;) {
        const TNxDev& dev = *m_Devs[pos];
        bool present = false;
        for (const TNxDevDesc& d : found)
            present = present || dev.SameBridge(d.GetPid(), d.GetVid(), d.GetSerial());
        if (present)
            continue;
        const std::string serial = dev.GetSerial();
        m_Devs.erase(m_Devs.begin() + static_cast<std::ptrdiff_t>(pos));
        Notify(kDevRemoved, const_cast<char*>(serial.c_str()));
    }
    return true;
}

NxStatus TNxDevList::EnumerateBridges(std::vector<SBridgeInfo>& out)
{
    out.clear();
    uint32_t count = 0;
    const NxStatus st = CP2102Com::GetNumDevices(count);
    if (st != 0 && st != Bridge::kDeviceNotFound)
        return st;
    out.resize(count);
    for (uint32_t i = 0; i < count; ++i) {
        SBridgeInfo& b = out[i];
        b.Index = static_cast<int>(i);
        b.Known = CP2102Com::GetIds(b.Index, b.Pid, b.Vid) == 0;
        b.Known = CP2102Com::GetSerial(b.Serial, b.Index) == 0 && b.Known;
        b.Known = CP2102Com::GetDisplayName(b.Name, b.Index) == 0 && b.Known;
    }
    return st;
}

TNxDev* TNxDevList::CreateDev(const TNxDevDesc& desc, int devIndex)
{
    auto dev = std::make_unique<TNxDev>(devIndex);
    Bridge::OpenProblem problem;
    const NxStatus st = dev->Open(&problem);
    if (st != 0) {
        // The status text stays as the system shows it; the backend may know
        // why the port was refused and what clears it.
        std::string text = std::string("TNxDev::Open() failed: ") + CP2102Com::StatusText(st);
        if (!problem.Text.empty())
            text += "\n" + problem.Text;
        Warn(text);
        if (st != Bridge::kDeviceNotFound && st != NX_NO_DEVICE) {
            std::string port = Bridge::Lib().PortName(static_cast<uint32_t>(devIndex));
            m_OpenErrors.push_back({port.empty() ? desc.GetSerial() : port, text, problem.Busy});
        }
        return nullptr;
    }
    // A bridge without a controller behind it stays silent here. Each try
    // flushes first, so noise left from a stall is gone before the next.
    NxCmdSts sts;
    bool answered = false;
    for (int attempt = 0; attempt < m_nStatusAttempts && !answered; ++attempt) {
        sts.DeviceStatus(); // a failed reply may have overwritten the request
        answered = dev->Execute(sts, 100);
    }
    if (!answered) {
        m_Unanswered.push_back({desc.GetSerial(), sts.GetErrMsg()});
        return nullptr;
    }
    dev->SetFoundInBootloader(!sts.IsInApplication());
    dev->ProbeChannels();
    m_Devs.push_back(std::move(dev));
    return m_Devs.back().get();
}

TNxDev* TNxDevList::FindDev(uint32_t pid, uint32_t vid, const std::string& serial) const
{
    for (const auto& dev : m_Devs)
        if (dev->SameBridge(pid, vid, serial))
            return dev.get();
    return nullptr;
}

TNxDev* TNxDevList::FindBySerial(const std::string& serial)
{
    ScopedSect lock(Lock);
    for (const auto& dev : m_Devs)
        if (dev->GetSerial() == serial)
            return dev.get();
    return nullptr;
}
