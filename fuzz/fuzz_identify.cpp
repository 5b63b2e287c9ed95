// Arbitrary images into the profile match. The first bytes pick an address
// near a profile's identity address, a block size and an application name;
// the rest becomes image data there, written out as a HEX file so that a
// match also repacks the image. Names cut at block ends, unterminated texts
// and 16-bit names are all reachable.
#include "Download/NxProgrammer.h"
#include "FuzzFile.h"
#include "NxException.h"

#include <cstdio>
#include <cstring>
#include <string>

namespace {

void Record(std::string& out, uint8_t type, uint16_t addr, const uint8_t* d, size_t n)
{
    char buf[16];
    unsigned sum = n + (addr >> 8) + (addr & 0xFF) + type;
    std::snprintf(buf, sizeof buf, ":%02X%04X%02X", static_cast<unsigned>(n), addr, type);
    out += buf;
    for (size_t i = 0; i < n; ++i) {
        std::snprintf(buf, sizeof buf, "%02X", d[i]);
        out += buf;
        sum += d[i];
    }
    std::snprintf(buf, sizeof buf, "%02X\n", (0x100 - (sum & 0xFF)) & 0xFF);
    out += buf;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 4)
        return 0;
    size_t rows = 0;
    while (kDeviceProfiles[rows].IdentityAddress != 0)
        ++rows;
    const DeviceProfile& row = kDeviceProfiles[data[0] % rows];
    uint32_t addr = row.IdentityAddress + static_cast<int8_t>(data[1]);
    const uint32_t blockSize = 16u << (data[2] % 6); // 16 .. 512
    const size_t nameLen = data[3] % 40;
    data += 4;
    size -= 4;
    const size_t take = nameLen < size ? nameLen : size;
    const std::string appName(reinterpret_cast<const char*>(data), take);
    data += take;
    size -= take;

    std::string hex;
    for (size_t i = 0; i < size; i += 16, addr += 16) {
        const uint8_t upper[2] = {static_cast<uint8_t>(addr >> 24),
                                  static_cast<uint8_t>(addr >> 16)};
        Record(hex, 4, 0, upper, 2);
        Record(hex, 0, static_cast<uint16_t>(addr), data + i, size - i < 16 ? size - i : 16);
    }
    Record(hex, 1, 0, nullptr, 0);
    const std::string& path =
        FuzzFile(reinterpret_cast<const uint8_t*>(hex.data()), hex.size(), ".hex");

    NxProgrammer prog(1);
    int line = 0;
    if (!prog.SetBlockSize(blockSize) || prog.LoadFile(path.c_str(), line) != 0)
        __builtin_trap();
    try {
        prog.IdentifyFile(take ? appName.c_str() : nullptr);
        const DeviceProfile* p = prog.GetProfile();
        if (!p || prog.GetBlockSize() != p->BlockSize || prog.GetBlockCount() == 0)
            __builtin_trap();
        for (const ProgBlock* b = prog.Image().FirstBlock(); b; b = b->Next)
            if (b->DataLength != p->BlockSize || b->Address() % p->BlockSize != 0)
                __builtin_trap();
    } catch (const NxException& e) {
        if (prog.GetProfile() || std::strlen(e.what()) == 0)
            __builtin_trap();
    }
    return 0;
}
