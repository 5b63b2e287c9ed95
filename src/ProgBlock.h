// One block of a firmware image, laid out as the "ProgFlashPage" payload so
// that it goes on the wire without copying.
#pragma once

#include <cstdint>
#include <cstring>
#include <memory>

struct ProgBlock
{
    // A zero-filled block of dataLength bytes starting at address. The
    // caller keeps address a multiple of dataLength.
    ProgBlock(uint32_t address, uint32_t dataLength)
        : Buf(new uint8_t[4 + static_cast<size_t>(dataLength)]()), DataLength(dataLength)
    {
        Buf[0] = static_cast<uint8_t>(address);
        Buf[1] = static_cast<uint8_t>(address >> 8);
        Buf[2] = static_cast<uint8_t>(address >> 16);
        Buf[3] = static_cast<uint8_t>(address >> 24);
    }
    ProgBlock(ProgBlock&&) noexcept = default;
    ProgBlock& operator=(ProgBlock&&) noexcept = default;
    ProgBlock(const ProgBlock&) = delete;
    ProgBlock& operator=(const ProgBlock&) = delete;

    // Start address, from the first four buffer bytes (little-endian).
    uint32_t Address() const
    {
        return static_cast<uint32_t>(Buf[0]) | static_cast<uint32_t>(Buf[1]) << 8 |
               static_cast<uint32_t>(Buf[2]) << 16 | static_cast<uint32_t>(Buf[3]) << 24;
    }
    // DataLength bytes of image data.
    uint8_t* Data() { return Buf.get() + 4; }
    const uint8_t* Data() const { return Buf.get() + 4; }
    // Address then data: 4 + DataLength bytes.
    const uint8_t* Buffer() const { return Buf.get(); }
    size_t BufferLength() const { return 4 + static_cast<size_t>(DataLength); }

    std::unique_ptr<uint8_t[]> Buf;
    uint32_t DataLength;
    // The following block in list order; owned by the list, not by this block.
    ProgBlock* Next = nullptr;
};
