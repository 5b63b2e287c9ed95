#include "Sim/SimFrame.h"

namespace Sim {

uint16_t SimChecksum(uint8_t cmd, uint8_t channel, uint8_t access, const uint8_t* payload, size_t n)
{
    uint32_t sum = cmd + channel + access;
    for (size_t i = 0; i < n; ++i)
        sum += payload[i];
    return static_cast<uint16_t>(sum & 0xFFFF);
}

std::vector<uint8_t> SimEncodeFrame(const SimFrame& f, bool corruptChecksum)
{
    const size_t n = f.Payload.size() > 255 ? 255 : f.Payload.size();
    uint16_t sum = SimChecksum(f.Cmd, f.Channel, f.Access, f.Payload.data(), n);
    if (corruptChecksum)
        sum = static_cast<uint16_t>(sum + 1);

    std::vector<uint8_t> logical;
    logical.reserve(n + 6);
    logical.push_back(static_cast<uint8_t>(n));
    logical.push_back(f.Cmd);
    logical.push_back(f.Channel);
    logical.push_back(f.Access);
    logical.insert(logical.end(), f.Payload.begin(), f.Payload.begin() + static_cast<long>(n));
    logical.push_back(static_cast<uint8_t>(sum & 0xFF));
    logical.push_back(static_cast<uint8_t>(sum >> 8));

    std::vector<uint8_t> wire;
    wire.reserve(2 * logical.size() + 1);
    wire.push_back(kSof);
    for (uint8_t b : logical) {
        wire.push_back(b);
        if (b == kSof)
            wire.push_back(b);
    }
    return wire;
}

void SimFrameParser::Reset()
{
    m_bInFrame = false;
    m_bPendingSof = false;
    m_Logical.clear();
}

void SimFrameParser::StartFrame()
{
    m_bInFrame = true;
    m_bPendingSof = false;
    m_Logical.clear();
    m_Wire.assign(1, kSof);
}

void SimFrameParser::Feed(const uint8_t* data, size_t n, std::vector<SimFrame>& out,
                          std::vector<std::vector<uint8_t>>* wires)
{
    for (size_t i = 0; i < n; ++i) {
        const uint8_t b = data[i];
        if (!m_bInFrame) {
            if (b == kSof)
                StartFrame();
            else
                ++m_nStrayBytes;
            continue;
        }
        m_Wire.push_back(b);
        if (m_bPendingSof) {
            m_bPendingSof = false;
            if (b == kSof) {
                Push(kSof, out, wires);
                continue;
            }
            // The earlier 0xF0 was alone, so it began a new frame.
            ++m_nBadFrames;
            StartFrame();
            m_Wire.push_back(b);
            Push(b, out, wires);
            continue;
        }
        if (b == kSof)
            m_bPendingSof = true;
        else
            Push(b, out, wires);
    }
}

void SimFrameParser::Push(uint8_t b, std::vector<SimFrame>& out,
                          std::vector<std::vector<uint8_t>>* wires)
{
    m_Logical.push_back(b);
    const size_t want = static_cast<size_t>(m_Logical[0]) + 6;
    if (m_Logical.size() < want)
        return;
    m_bInFrame = false;
    const size_t n = m_Logical[0];
    const uint8_t* payload = m_Logical.data() + 4;
    const uint16_t stored = static_cast<uint16_t>(m_Logical[4 + n] | (m_Logical[5 + n] << 8));
    if (SimChecksum(m_Logical[1], m_Logical[2], m_Logical[3], payload, n) != stored) {
        ++m_nBadFrames;
        return;
    }
    SimFrame f;
    f.Cmd = m_Logical[1];
    f.Channel = m_Logical[2];
    f.Access = m_Logical[3];
    f.Payload.assign(payload, payload + n);
    out.push_back(std::move(f));
    if (wires)
        wires->push_back(m_Wire);
}

} // namespace Sim
