#include "NxCom/NxCmd.h"

#include "Appcfg.h"
#include "NxCmdTable.h"
#include "NxException.h"

#include <cstring>

NxCmd::NxCmd()
{
    Reset();
}

NxCmd::NxCmd(uint8_t cmdNr, const char* name, uint8_t channel, uint8_t access, const void* payload,
             size_t n)
{
    Reset();
    Setup(cmdNr, name, channel, access, payload, n);
}

NxCmd::NxCmd(const NxCmdDef& def, uint8_t channel)
{
    Reset();
    Setup(def, channel, nullptr, 0);
}

void NxCmd::Reset()
{
    m_bError = false;
    m_ErrMsg.clear();
    m_bEncoded = false;
    m_nFrameLen = 0;
    m_Name.clear();
    std::memset(m_Buf, 0, sizeof m_Buf);
    m_nReqCmdNr = 0;
    m_bStale = false;
}

void NxCmd::Setup(uint8_t cmdNr, const char* name, uint8_t channel, uint8_t access,
                  const void* payload, size_t n)
{
    if (n > 255)
        n = 255;
    m_Buf[0] = NX_SOF;
    m_Buf[1] = static_cast<uint8_t>(n);
    m_Buf[2] = cmdNr;
    m_Buf[3] = channel;
    m_Buf[4] = access;
    if (payload && n > 0)
        std::memcpy(m_Buf + NX_HEADER, payload, n);
    const uint16_t sum = Checksum();
    m_Buf[NX_HEADER + n] = static_cast<uint8_t>(sum & 0xFF);
    m_Buf[NX_HEADER + n + 1] = static_cast<uint8_t>(sum >> 8);
    m_bError = false;
    m_Name = name ? name : "";
    m_bEncoded = false;
    m_nFrameLen = static_cast<uint16_t>(n + 7);
    m_nReqCmdNr = cmdNr;
    m_bStale = false;
}

void NxCmd::Setup(const NxCmdDef& def, uint8_t channel, const void* payload, size_t n)
{
    Setup(def.Nr, def.Name, channel, def.Access, payload, n);
}

uint16_t NxCmd::Checksum() const
{
    const size_t n = m_Buf[1];
    uint16_t sum = 0;
    for (size_t i = 2; i < NX_HEADER + n; ++i)
        sum = static_cast<uint16_t>(sum + m_Buf[i]);
    return sum;
}

void NxCmd::Encode()
{
    m_bError = false;
    uint8_t src[NX_FRAME_BUF];
    std::memcpy(src, m_Buf, sizeof src);
    const size_t last = static_cast<size_t>(src[1]) + 6; // checksum high byte
    size_t out = 1;
    for (size_t i = 1; i <= last; ++i) {
        m_Buf[out++] = src[i];
        if (src[i] == NX_SOF)
            m_Buf[out++] = NX_SOF;
    }
    m_nFrameLen = static_cast<uint16_t>(out);
    m_bEncoded = true;
}

void NxCmd::Decode()
{
    m_bStale = false;
    if (m_Buf[0] != NX_SOF) {
        SetError("Frame format error");
        return;
    }
    uint8_t raw[NX_FRAME_BUF];
    const size_t rawLen = m_nFrameLen < sizeof raw ? m_nFrameLen : sizeof raw;
    std::memcpy(raw, m_Buf, sizeof raw);

    // Unstuff from byte 1: the length, then N + 5 more logical bytes.
    size_t in = 1, out = 1, needed = 1;
    while (out < 1 + needed) {
        if (in >= rawLen) {
            // The raw frame ended early; only a hostile or cut reply gets here.
            SetError("Frame format error");
            return;
        }
        uint8_t b = raw[in++];
        if (b == NX_SOF) {
            if (in >= rawLen || raw[in] != NX_SOF) {
                SetError("Frame format error");
                return;
            }
            ++in;
        }
        m_Buf[out++] = b;
        if (out == 2)
            needed = static_cast<size_t>(m_Buf[1]) + 6;
    }
    const size_t n = m_Buf[1];
    m_nFrameLen = static_cast<uint16_t>(n + 7);
    m_bEncoded = false;
    m_Buf[n + 7] = 0; // a text at the end of the payload always ends

    const uint16_t stored =
        static_cast<uint16_t>(m_Buf[NX_HEADER + n] | (m_Buf[NX_HEADER + n + 1] << 8));
    if (Checksum() != stored) {
        SetError("Frame CRC error");
        OnFrameError();
        return;
    }
    // A reply carries its request's number or 0. Another number is the late
    // answer to an earlier request; its values must not reach this command.
    // Without a built request (0) every reply is taken as it comes.
    if (m_nReqCmdNr != 0 && m_Buf[2] != 0 && m_Buf[2] != m_nReqCmdNr) {
        m_bStale = true;
        SetError(StrFormat("Stale reply CmdNr=%d", m_Buf[2]));
        return;
    }
    if (CAppCfg::Instance().IgnoreReplyStatus()) {
        m_bError = false;
        OnResponse();
        return;
    }
    OnResponse();
    if (m_Buf[2] == 0) {
        SetError(StrFormat("Frame '0x%02X' error", m_Buf[NX_HEADER]));
    } else {
        m_bError = false;
    }
}

void NxCmd::SetError(const std::string& msg)
{
    m_bError = true;
    m_ErrMsg = msg;
}

void NxCmd::ThrowIfFailed() const
{
    if (m_bError)
        throw NxException(StrFormat("'%s' failed: %s", m_Name.c_str(), m_ErrMsg.c_str()));
}
