// File bytes into the Intel HEX reader and the memory image. The image must
// hold exactly the bytes the reader delivered, last record wins, also after
// it was cut again at twice its block size.
#include "FuzzFile.h"
#include "IntelHex.h"
#include "MemoryImage.h"

#include <cstring>
#include <map>

namespace {

class Collect : public IHfEvt
{
public:
    void OnDataRecord(const HexRecord& rec) override
    {
        if (rec.ByteCount + 1 > HexRecord::kMaxBytes || rec.RecordType != IH_REC_DATA)
            __builtin_trap();
        for (uint32_t i = 0; i < rec.ByteCount; ++i)
            Bytes[rec.AbsAddress + i] = rec.Data[i]; // wraps past 0xFFFFFFFF like the image
    }
    void OnAddressRecord(const HexRecord& rec) override
    {
        if (rec.RecordType != IH_REC_SEGMENT && rec.RecordType != IH_REC_LINEAR &&
            rec.RecordType != IH_REC_START_LINEAR)
            __builtin_trap();
    }
    void OnEndOfFile(const HexRecord&) override { ++Eofs; }
    std::map<uint32_t, uint8_t> Bytes;
    int Eofs = 0;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string& path = FuzzFile(data, size, ".hex");
    Collect c;
    int line = 0;
    const int rc = ReadIntelHexFile(path.c_str(), c, line);
    if (rc > 0 || rc < IH_TOO_MANY_BLOCKS || std::strlen(IntelHexErrorText(rc)) == 0)
        __builtin_trap();
    if ((rc == IH_SUCCESS) != (c.Eofs == 1) || line < 1)
        __builtin_trap();

    // A small block size makes many blocks and exercises the index growth.
    MemoryImage image;
    image.SetBlockSize(size % 2 ? MemoryImage::kMinBlockSize : MemoryImage::kDefaultBlockSize);
    int line2 = 0;
    const int rc2 = image.LoadFile(path.c_str(), line2);
    if (rc2 == IH_TOO_MANY_BLOCKS)
        return 0; // the image's bound, met before the reader's verdict
    if (rc2 != rc || line2 != line)
        __builtin_trap();
    for (int pass = 0; pass < 2; ++pass) {
        for (const auto& [addr, value] : c.Bytes) {
            const uint8_t* p = image.FindByte(addr);
            if (!p || *p != value)
                __builtin_trap();
        }
        size_t blocks = 0;
        for (const ProgBlock* b = image.FirstBlock(); b; b = b->Next)
            ++blocks;
        if (blocks != image.GetBlockCount())
            __builtin_trap();
        if (!image.Recut(image.GetBlockSize() * 2))
            __builtin_trap();
    }
    return 0;
}
