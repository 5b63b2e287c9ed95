#include "NxCmdSerialCom.h"

#include "NxCmdTable.h"
#include "ProgBlock.h"

#include <cstring>

void NxCmdSerialCom::Relay(uint8_t ch, NxCmdId id, const uint8_t* args, uint8_t nArgs)
{
    const NxCmdDef& def = CmdDef(id);
    uint8_t payload[2 + 255];
    payload[0] = nArgs;
    payload[1] = static_cast<uint8_t>(def.Sub);
    if (nArgs > 0)
        std::memcpy(payload + 2, args, nArgs);
    m_bReply = false;
    Setup(def, ch, payload, 2u + nArgs);
}

void NxCmdSerialCom::SerialComGetIdentifier(uint8_t ch)
{
    Relay(ch, NxCmdId::SerialComGetIdentifier, nullptr, 0);
}
void NxCmdSerialCom::SerialComGetCapabilityFlag(uint8_t ch)
{
    Relay(ch, NxCmdId::SerialComGetCapabilityFlag, nullptr, 0);
}
void NxCmdSerialCom::SerialComGetApplicationName(uint8_t ch)
{
    Relay(ch, NxCmdId::SerialComGetApplicationName, nullptr, 0);
}
void NxCmdSerialCom::SerialGetApplicationVersion(uint8_t ch)
{
    Relay(ch, NxCmdId::SerialGetApplicationVersion, nullptr, 0);
}
void NxCmdSerialCom::SerialComGetApplicationDate(uint8_t ch)
{
    Relay(ch, NxCmdId::SerialComGetApplicationDate, nullptr, 0);
}
void NxCmdSerialCom::SerialComGetStatusFlag(uint8_t ch)
{
    Relay(ch, NxCmdId::SerialComGetStatusFlag, nullptr, 0);
}
void NxCmdSerialCom::SerialComEnterBootloader(uint8_t ch)
{
    const uint8_t arg = 0x02;
    Relay(ch, NxCmdId::SerialComEnterBootloader, &arg, 1);
}
void NxCmdSerialCom::SerialComEnterApplication(uint8_t ch)
{
    const uint8_t arg = 0x01;
    Relay(ch, NxCmdId::SerialComEnterApplication, &arg, 1);
}
void NxCmdSerialCom::SerialComGetHardwareVersion(uint8_t ch)
{
    Relay(ch, NxCmdId::SerialComGetHardwareVersion, nullptr, 0);
}
void NxCmdSerialCom::SerialComBootloaderName(uint8_t ch)
{
    Relay(ch, NxCmdId::SerialComBootloaderName, nullptr, 0);
}
void NxCmdSerialCom::SerialComGetBootloaderVersion(uint8_t ch)
{
    Relay(ch, NxCmdId::SerialComGetBootloaderVersion, nullptr, 0);
}
void NxCmdSerialCom::SerialComGetBootloaderDate(uint8_t ch)
{
    Relay(ch, NxCmdId::SerialComGetBootloaderDate, nullptr, 0);
}
void NxCmdSerialCom::SerialComGetSerialNumber(uint8_t ch)
{
    Relay(ch, NxCmdId::SerialComGetSerialNumber, nullptr, 0);
}
void NxCmdSerialCom::SerialComGetRuntime(uint8_t ch)
{
    Relay(ch, NxCmdId::SerialComGetRuntime, nullptr, 0);
}
void NxCmdSerialCom::SerialComProgErase(uint8_t ch, uint8_t arg)
{
    Relay(ch, NxCmdId::SerialComProgErase, &arg, 1);
}
void NxCmdSerialCom::SerialComSetFilterChange(uint8_t ch)
{
    Relay(ch, NxCmdId::SerialComSetFilterChange, nullptr, 0);
}
void NxCmdSerialCom::SerialComGetFilterChange(uint8_t ch)
{
    Relay(ch, NxCmdId::SerialComGetFilterChange, nullptr, 0);
}

bool NxCmdSerialCom::SerialComProgPage(uint8_t ch, const ProgBlock& block, uint32_t pageIndex,
                                       uint32_t pageBase)
{
    // The whole page must be inside the block, not only its first byte.
    const uint64_t offset = static_cast<uint64_t>(pageIndex) * kPageSize;
    if (offset + kPageSize > block.DataLength)
        return false;
    const uint16_t page = static_cast<uint16_t>(((block.Address() - pageBase) >> 6) + pageIndex);
    uint8_t args[2 + kPageSize];
    args[0] = static_cast<uint8_t>(page);
    args[1] = static_cast<uint8_t>(page >> 8);
    std::memcpy(args + 2, block.Data() + offset, kPageSize);
    Relay(ch, NxCmdId::SerialComProgPage, args, sizeof args);
    return true;
}

const uint8_t* NxCmdSerialCom::Value(size_t pos, size_t n) const
{
    const size_t len = PayloadLength();
    if (!m_bReply || len < 2 || pos > len - 2 || n > len - 2 - pos)
        return nullptr;
    return Payload() + 2 + pos;
}

uint8_t NxCmdSerialCom::RespByte(size_t pos) const
{
    const uint8_t* v = Value(pos, 1);
    return v ? v[0] : 0;
}

uint16_t NxCmdSerialCom::RespWord(size_t pos) const
{
    const uint8_t* v = Value(pos, 2);
    return v ? static_cast<uint16_t>(v[0] | v[1] << 8) : 0;
}

uint32_t NxCmdSerialCom::RespDWord(size_t pos) const
{
    const uint8_t* v = Value(pos, 4);
    if (!v)
        return 0;
    return static_cast<uint32_t>(v[0]) | static_cast<uint32_t>(v[1]) << 8 |
           static_cast<uint32_t>(v[2]) << 16 | static_cast<uint32_t>(v[3]) << 24;
}

std::string NxCmdSerialCom::RespText(size_t pos) const
{
    const uint8_t* v = Value(pos, 1);
    if (!v || v[0] == 0x00 || v[0] == 0xFF)
        return {};
    const size_t room = PayloadLength() - 2 - pos;
    const char* text = reinterpret_cast<const char*>(v);
    return std::string(text, strnlen(text, room));
}
