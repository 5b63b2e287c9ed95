// Device-side framing for the simulated controllers. Written separately from
// the host's frame code on purpose: a mistake shared by both sides would
// cancel out and let broken frames pass every test.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace Sim {

constexpr uint8_t kSof = 0xF0;
constexpr uint8_t kAccessRead = 0x52;  // 'R'
constexpr uint8_t kAccessWrite = 0x57; // 'W'

// One logical frame (start byte, length and checksum stripped).
struct SimFrame
{
    uint8_t Cmd = 0;
    uint8_t Channel = 0;
    uint8_t Access = 0;
    std::vector<uint8_t> Payload;
};

// 16-bit wrapping sum of command number, channel, access and payload bytes.
uint16_t SimChecksum(uint8_t cmd, uint8_t channel, uint8_t access, const uint8_t* payload,
                     size_t n);

// Builds the stuffed wire form of a frame. The payload must hold at most 255
// bytes. With corruptChecksum the stored checksum is off by one (stuffed
// after the corruption, so only the sum is wrong).
std::vector<uint8_t> SimEncodeFrame(const SimFrame& f, bool corruptChecksum = false);

// Accumulates the bytes a host writes and cuts them into frames the way a
// device's receiver does: bytes before a start byte are skipped, a 0xF0 pair
// is one data byte, a lone 0xF0 inside a frame starts a new frame (the broken
// one is dropped), and a frame whose checksum does not match is dropped.
class SimFrameParser
{
public:
    // Appends every complete, valid frame found so far to out and, when
    // wires is given, its bytes as they came (start byte and pairs included).
    void Feed(const uint8_t* data, size_t n, std::vector<SimFrame>& out,
              std::vector<std::vector<uint8_t>>* wires = nullptr);
    // Forgets a partly received frame (an inter-frame gap on the line).
    void Reset();

    size_t BadFrames() const { return m_nBadFrames; }   // dropped: checksum or broken stuffing
    size_t StrayBytes() const { return m_nStrayBytes; } // skipped while hunting a start byte

private:
    void StartFrame();
    void Push(uint8_t b, std::vector<SimFrame>& out, std::vector<std::vector<uint8_t>>* wires);

    bool m_bInFrame = false;
    bool m_bPendingSof = false;
    std::vector<uint8_t> m_Logical; // after the start byte: length, header, payload, checksum
    std::vector<uint8_t> m_Wire;    // the frame's bytes as received
    size_t m_nBadFrames = 0;
    size_t m_nStrayBytes = 0;
};

} // namespace Sim
