// Commands relayed by the controller to the component on one of its channels
// (command 143). The payload is: argument count, sub-command, arguments; the
// component's answer starts at reply payload byte 2.
#pragma once

#include "NxCom/NxCmd.h"

#include <string>

struct ProgBlock;
enum class NxCmdId : uint8_t;

class NxCmdSerialCom : public NxCmd
{
public:
    static constexpr uint32_t kPageSize = 64;

    void SerialComGetIdentifier(uint8_t ch);          // 0x01, RespByte(0)
    void SerialComGetCapabilityFlag(uint8_t ch);      // 0x03, RespWord(0)
    void SerialComGetApplicationName(uint8_t ch);     // 0x04, RespText(0)
    void SerialGetApplicationVersion(uint8_t ch);     // 0x05, RespText(0)
    void SerialComGetApplicationDate(uint8_t ch);     // 0x06, RespText(0)
    void SerialComGetStatusFlag(uint8_t ch);          // 0x07, RespWord(0) bit 15 = bootloader
    void SerialComEnterBootloader(uint8_t ch);        // 0x30 02
    void SerialComEnterApplication(uint8_t ch);       // 0x30 01
    void SerialComGetHardwareVersion(uint8_t ch);     // 0x32, RespText(0)
    void SerialComBootloaderName(uint8_t ch);         // 0x33, RespText(0)
    void SerialComGetBootloaderVersion(uint8_t ch);   // 0x34, RespText(0)
    void SerialComGetBootloaderDate(uint8_t ch);      // 0x35, RespText(0)
    void SerialComGetSerialNumber(uint8_t ch);        // 0x37, RespText(0)
    void SerialComGetRuntime(uint8_t ch);             // 0x39, RespDWord(0)
    void SerialComProgErase(uint8_t ch, uint8_t arg); // 0x3C arg
    void SerialComSetFilterChange(uint8_t ch);        // 0x42, as SerialComGetFilterChange
    void SerialComGetFilterChange(uint8_t ch);        // 0x43, RespDWord(0), RespWord(4)

    // Page pageIndex (64 bytes) of block: 42 31, page number (16-bit), data.
    // Page number = ((block address - pageBase) >> 6) + pageIndex, cut to 16
    // bits. Returns false and builds nothing when the page does not lie wholly
    // inside the block's data.
    bool SerialComProgPage(uint8_t ch, const ProgBlock& block, uint32_t pageIndex,
                           uint32_t pageBase);

    // Values of the last accepted reply; position 0 is reply payload byte 2.
    // A value that does not lie wholly inside the reply payload reads as 0 (or
    // as an empty text), as does everything before a reply or after a rebuild.
    uint8_t RespByte(size_t pos) const;
    uint16_t RespWord(size_t pos) const;
    uint32_t RespDWord(size_t pos) const;
    // Text up to its zero byte or the payload's end; empty when its first
    // byte is 0x00 or 0xFF (an erased field).
    std::string RespText(size_t pos) const;

    void OnResponse() override { m_bReply = true; }

private:
    void Relay(uint8_t ch, NxCmdId id, const uint8_t* args, uint8_t nArgs);
    // Start of the value bytes [pos, pos + n) or null when they pass the payload.
    const uint8_t* Value(size_t pos, size_t n) const;
    bool m_bReply = false;
};
