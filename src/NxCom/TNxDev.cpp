#include "NxCom/TNxDev.h"

#include "NxClock.h"
#include "NxCmdSerialCom.h"
#include "NxCmdTable.h"
#include "NxException.h"

TNxDev::TNxDev(int devIndex)
    : TNxDevDesc(0, 0, {}), m_pCom(std::make_unique<NxCom>(devIndex)), m_nDevIndex(devIndex)
{
}

NxStatus TNxDev::Open(Bridge::OpenProblem* problem)
{
    NxStatus st = m_pCom->Open(problem);
    if (st != 0)
        return st;
    if ((st = CP2102Com::GetSerial(m_Serial, m_nDevIndex)) != 0)
        return st;
    if ((st = CP2102Com::GetDisplayName(m_Name, m_nDevIndex)) != 0)
        return st;
    return CP2102Com::GetIds(m_nDevIndex, m_Pid, m_Vid);
}

bool TNxDev::Execute(NxCmd& cmd, uint32_t timeoutMs)
{
    if (m_bReadOnly && !IsReadCommand(cmd)) {
        cmd.SetError("not sent: a dry run changes nothing");
        return false;
    }
    if (!m_pTap)
        return m_pCom->Execute(cmd, timeoutMs);
    m_pTap->OnRequest(cmd);
    const bool ok = m_pCom->Execute(cmd, timeoutMs);
    m_pTap->OnReply(cmd, ok);
    return ok;
}

void TNxDev::ExecuteOrThrow(NxCmd& cmd, uint32_t timeoutMs)
{
    if (Execute(cmd, timeoutMs))
        return;
    cmd.ThrowIfFailed();
    // Only a reply that its command class refused gets here without a message.
    ThrowNx("'%s' failed: %s", cmd.GetName().c_str(), "invalid reply");
}

const std::vector<TNxDev::NxChannelInfo>& TNxDev::ProbeChannels()
{
    m_Channels.clear();
    for (int c = 1; c <= kMaxChannel; ++c) {
        const auto ch = static_cast<uint8_t>(c);
        NxCmd probe(CmdDef(NxCmdId::ProbeChannel), ch);
        if (!Execute(probe, 1000))
            break; // this channel and all higher ones are absent
        m_Channels.push_back(ReadComponent(ch));
    }
    return m_Channels;
}

TNxDev::NxChannelInfo TNxDev::ReadComponent(uint8_t channel)
{
    NxChannelInfo info;
    NxCmdSerialCom cmd;
    bool answered = false;
    // A component may need a moment after power-up: three tries, 500 ms apart.
    for (int attempt = 0; attempt < 3 && !answered; ++attempt) {
        if (attempt > 0)
            NxSleep(500);
        cmd.SerialComGetStatusFlag(channel);
        answered = Execute(cmd, 1000);
    }
    if (!answered)
        return info; // listed with defaults: the channel answered, its component did not

    cmd.SerialComGetIdentifier(channel);
    if (Execute(cmd, 1000))
        info.Identifier = cmd.RespByte(0);
    cmd.SerialComGetCapabilityFlag(channel);
    if (Execute(cmd, 1000))
        info.CapabilityFlag = cmd.RespWord(0);
    cmd.SerialComGetSerialNumber(channel);
    if (Execute(cmd, 1000))
        info.SerialNumber = cmd.RespText(0);
    return info;
}

std::string ChannelLabel(int ch, const TNxDev::NxChannelInfo& info)
{
    std::string label = StrFormat("Channel #%d (%04X|%02X", ch, info.CapabilityFlag,
                                  static_cast<unsigned>(info.Identifier & 0xFF));
    if (!info.SerialNumber.empty())
        label += "|" + info.SerialNumber;
    return label + ")";
}

bool CanResetFilter(const TNxDev::NxChannelInfo& info)
{
    const std::string prefix = info.SerialNumber.substr(0, 3);
    return prefix.size() == 3 && (prefix == "133" || prefix == "142");
}
