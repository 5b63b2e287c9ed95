#include "Sim/SimComponent.h"

namespace Sim {

namespace {

// Zero-terminated text; an empty field reads as erased flash.
std::vector<uint8_t> Text(const std::string& s)
{
    if (s.empty())
        return {0xFF, 0x00};
    // Leave room for the two leading reply bytes within one frame.
    const size_t n = s.size() > 252 ? 252 : s.size();
    std::vector<uint8_t> v(s.begin(), s.begin() + static_cast<long>(n));
    v.push_back(0);
    return v;
}

void PutU16(std::vector<uint8_t>& v, uint16_t x)
{
    v.push_back(static_cast<uint8_t>(x));
    v.push_back(static_cast<uint8_t>(x >> 8));
}

void PutU32(std::vector<uint8_t>& v, uint32_t x)
{
    PutU16(v, static_cast<uint16_t>(x));
    PutU16(v, static_cast<uint16_t>(x >> 16));
}

} // namespace

uint16_t SimComponent::StatusWord() const
{
    return static_cast<uint16_t>((StatusExtra & 0x7FFF) | (Bootloader ? 0x8000 : 0));
}

SimAnswer SimComponent::Handle(uint8_t sub, const std::vector<uint8_t>& args)
{
    std::vector<uint8_t> v;
    switch (sub) {
    case 0x01:
        return SimAnswer::Ok({Identifier});
    case 0x03:
        PutU16(v, Capability);
        return SimAnswer::Ok(v);
    case 0x04:
    case 0x05:
    case 0x06:
        if (Bootloader)
            return SimAnswer::Reject(kSimErrWrongState);
        return SimAnswer::Ok(Text(sub == 0x04 ? AppName : sub == 0x05 ? AppVersion : AppDate));
    case 0x07:
        PutU16(v, StatusWord());
        return SimAnswer::Ok(v);
    case 0x30:
        if (args.size() != 1 || (args[0] != 1 && args[0] != 2))
            return SimAnswer::Reject(kSimErrBadRequest);
        if (!IgnoreModeChange)
            Bootloader = args[0] == 2;
        return SimAnswer::Ok();
    case 0x31: {
        if (args.size() != 66)
            return SimAnswer::Reject(kSimErrBadRequest);
        if (!Bootloader)
            return SimAnswer::Reject(kSimErrWrongState);
        const uint16_t page = static_cast<uint16_t>(args[0] | (args[1] << 8));
        Pages[page].assign(args.begin() + 2, args.end());
        ++PageWrites;
        return SimAnswer::Ok();
    }
    case 0x32:
        return SimAnswer::Ok(Text(HwVersion));
    case 0x33:
        return SimAnswer::Ok(Text(BlName));
    case 0x34:
        return SimAnswer::Ok(Text(BlVersion));
    case 0x35:
        return SimAnswer::Ok(Text(BlDate));
    case 0x37:
        return SimAnswer::Ok(Text(SerialNumber));
    case 0x39:
        PutU32(v, Runtime);
        return SimAnswer::Ok(v);
    case 0x3C:
        if (args.size() != 1)
            return SimAnswer::Reject(kSimErrBadRequest);
        if (!Bootloader)
            return SimAnswer::Reject(kSimErrWrongState);
        Pages.clear();
        ++EraseCount;
        return SimAnswer::Ok();
    case 0x42:
        LastFilterChange = Runtime;
        [[fallthrough]];
    case 0x43:
        PutU32(v, LastFilterChange);
        PutU16(v, FilterInterval);
        return SimAnswer::Ok(v);
    default:
        return SimAnswer::Reject(kSimErrUnknownCommand);
    }
}

} // namespace Sim
